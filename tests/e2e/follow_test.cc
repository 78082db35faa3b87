// The companion reader following the real writer under -f --raw: what it
// prints is the writer's input, byte for byte, however fast files rotate,
// while archives replace files under it, and after the run has stopped; a
// file that retention deleted before it could be read is said, status 1;
// entries planted under higher numbers are said once and end nothing.
#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/log_directory.h"
#include "tests/support/log_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace zarvo::test {
namespace {

enum class Reader {
  kLive,            // follows from before the writer's first file
  kStallArchived,   // stopped while the files it holds and the next are archived
  kStallRetention,  // stopped until retention has deleted files it never read
  kAfterStop,       // started once the writer has ended
  kPlanted,         // higher numbers planted while it follows: a FIFO, a link, a copy
};

struct FollowRow {
  const char* name;
  uint32_t maxFileNum;
  uint64_t maxFileSize;
  Reader reader;
};

const FollowRow kFollowRows[] = {
    {"RotationStormOneRecordPerFile", 1000000, 0, Reader::kLive},
    {"RotationStormThousandByteFiles", 1000000, 1000, Reader::kLive},
    {"ArchivesCompressedAndRemovedUnderTheReader", 1000000, 20000, Reader::kStallArchived},
    {"RetentionGapIsSaid", 2, 0, Reader::kStallRetention},
    {"ReplayOfAStoppedRun", 1000000, 5000, Reader::kAfterStop},
    {"PlantedHigherNumbersEndNothing", 1000000, 5000, Reader::kPlanted},
};

// Lines of every kind the writer stores: empty, short, exactly one chunk,
// pieces of long lines, NUL bytes, and a last line without newline.
std::string followInput() {
  const size_t lengths[] = {0, 9, 120, 2046, 2047, 2048, 5000, 37};
  std::string input;
  for (size_t i = 0; i < 600; ++i) {
    std::string line(lengths[i % 8], static_cast<char>('a' + i % 26));
    if (i % 5 == 0 && !line.empty()) line[line.size() / 2] = '\0';
    input += std::to_string(i) + line + "\n";
  }
  return input + "no newline at the end";
}

// The writer's chunks: a newline within 2047 bytes ends one, else 2047 bytes.
std::vector<std::string> chunksOf(const std::string& input) {
  std::vector<std::string> chunks;
  for (size_t at = 0; at < input.size();) {
    size_t newline = input.find('\n', at);
    size_t size = newline != std::string::npos && newline - at < 2047 ? newline - at + 1
                                                                       : std::min<size_t>(2047, input.size() - at);
    chunks.push_back(input.substr(at, size));
    at += size;
  }
  return chunks;
}

class FollowTest : public ::testing::TestWithParam<FollowRow> {};

TEST_P(FollowTest, PrintsWhatTheWriterStored) {
  const FollowRow& row = GetParam();
  TempDir tmp;
  const std::string dir = tmp / "logs", out = tmp / "out";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string input = followInput();
  const std::vector<std::string> writerArgv =
      writer({dir, std::to_string(row.maxFileNum), std::to_string(row.maxFileSize)});
  auto printed = [&] { return exists(out) ? readFile(out) : std::string(); };
  const std::vector<std::string> followArgv = {
      "sh", "-c", "exec \"$0\" -f --raw \"$1\" >\"$2\"", ZARVO_READER_PATH, dir, out};

  if (row.reader == Reader::kAfterStop) {
    ASSERT_EQ(run(writerArgv, input).status, 0);
  }
  Child follower(followArgv);
  std::string expected = input, expectedErr;
  if (row.reader == Reader::kLive) {
    ASSERT_EQ(run(writerArgv, input).status, 0);
  } else if (row.reader == Reader::kPlanted) {
    Child writing(writerArgv);
    const size_t first = input.find('\n', input.size() / 3) + 1;
    writing.write(input.substr(0, first));
    ASSERT_TRUE(eventually([&] { return printed() == input.substr(0, first); }, 120));
    const std::string fifo = dir + "/" + logName(1000), link = dir + "/" + logName(1001);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink("/etc/passwd", link.c_str()), 0);
    writeFile(dir + "/" + logName(1002), storedFile(dir, 1));
    writing.write(input.substr(first));
    writing.closeInput();
    ASSERT_EQ(writing.wait(120), 0);
    expectedErr = "Skipped: `\"" + fifo + "\"`: not a regular file\n"
                  "Skipped: `\"" + link + "\"`: not a regular file\n";
  } else if (row.reader != Reader::kAfterStop) {
    // The reader has read what came first and holds the file being written.
    const std::vector<std::string> chunks = chunksOf(input);
    size_t first = 0;
    for (size_t n = 0; n < (row.reader == Reader::kStallArchived ? chunks.size() / 4 : 1); ++n)
      first += chunks[n].size();
    Child writing(writerArgv);
    writing.write(input.substr(0, first));
    ASSERT_TRUE(eventually([&] { return printed() == input.substr(0, first); }, 120));
    follower.signal(SIGSTOP);
    writing.write(input.substr(first));
    const LogDirectory before = listLogDirectory(dir);
    ASSERT_TRUE(eventually([&] {
      const LogDirectory now = listLogDirectory(dir);
      return row.reader == Reader::kStallArchived
                 ? now.logs().size() == 1 && now.files.size() > 10
                 : now.files.count(3) == 0 && now.files.size() < before.files.size() + 50;
    }, 120)) << "the archive thread never caught up";
    writing.closeInput();
    ASSERT_EQ(writing.wait(120), 0);
    follower.signal(SIGCONT);
  }
  if (row.reader == Reader::kStallRetention) {
    // One record per file: file n held chunk n. The reader names the gap.
    ASSERT_TRUE(eventually([&] { return !follower.stderrText().empty(); }, 120));
    std::smatch gap;
    const std::string err = follower.stderrText();
    ASSERT_TRUE(std::regex_search(err, gap, std::regex("zarvo-access-(\\d+)\\.log\"`: (files \\d+ to (\\d+))?")))
        << err;
    const size_t from = std::stoul(gap[1]), to = gap[3].matched ? std::stoul(gap[3]) : from;
    ASSERT_GE(from, 2u) << err;
    const std::vector<std::string> chunks = chunksOf(input);
    ASSERT_LT(to, chunks.size()) << err;
    expected.clear();
    for (size_t n = 1; n <= chunks.size(); ++n)
      if (n < from || n > to) expected += chunks[n - 1];
    expectedErr = "Records lost: `\"" + dir + "/zarvo-access-" + std::to_string(from) + ".log\"`: " +
                  (from == to ? "deleted before it could be read"
                              : "files " + std::to_string(from) + " to " + std::to_string(to) +
                                    " deleted before they could be read") +
                  "\n";
  }
  EXPECT_TRUE(eventually([&] { return printed() == expected; }, 120))
      << printed().size() << " of " << expected.size() << " bytes printed";
  follower.signal(SIGTERM);
  EXPECT_EQ(follower.wait(), row.reader == Reader::kStallRetention ? 1 : 0);
  EXPECT_EQ(printed(), expected);
  EXPECT_EQ(follower.stderrText(), expectedErr);
}

INSTANTIATE_TEST_SUITE_P(Rows, FollowTest, ::testing::ValuesIn(kFollowRows),
                         [](const ::testing::TestParamInfo<FollowRow>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
}  // namespace zarvo::test

// The companion reader following the real writer under -f --raw: what it
// prints is the writer's input, byte for byte, however fast files rotate,
// while archives replace files under it, and after the run has stopped; a
// file that retention deleted before it could be read is said, status 1;
// entries planted under higher numbers are said once and end nothing.
// A run resumed from its cursor file goes on where the last one stopped,
// or was killed, without losing a byte; -o json gives any bytes back; and
// --since and --until pick the lines of their time.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>

#include "format/clock_reading.h"
#include "format/timestamp.h"
#include "tests/support/files.h"
#include "tests/support/input.h"
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
  kStopAndResume,   // stopped by TERM, a rotation storm, resumed by its cursor file
  kKillAndResume,   // killed once its consumer stopped reading, resumed by its cursor file
  kShipperStops,    // stopped by the shipper, which drops what it read last
  kShipperCaughtUp, // the same with the pipe empty, the reader caught up
  kJson,            // -o json over random bytes, decoded again
  kJsonResume,      // -o json resumed after the cursor of a line that spans files
  kTimeRange,       // --since and --until over input stored at three times
  kOutOfOrder,      // a backlog compressed newest first under it, then replayed
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
    {"CursorFileResumesAfterARotationStorm", 1000000, 0, Reader::kStopAndResume},
    {"CursorFileResumesAfterAKillLosingNothing", 1000000, 5000, Reader::kKillAndResume},
    {"CursorFileResumesBeforeWhatAStoppingShipperDropped", 1000000, 5000, Reader::kShipperStops},
    {"CursorFileResumesBeforeWhatACaughtUpShipperDropped", 1000000, 5000, Reader::kShipperCaughtUp},
    {"JsonGivesAnyBytesBack", 1000000, 5000, Reader::kJson},
    {"JsonResumesAfterALongLinesCursorAtTheNextLine", 1000000, 5000, Reader::kJsonResume},
    {"SinceAndUntilPickTheLinesOfTheirTime", 1000000, 1000, Reader::kTimeRange},
    {"NewerFilesArchivedBeforeOlderOnes", 1000000, 5000, Reader::kOutOfOrder},
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

// The reader's argv with its standard output going to the file `out`.
std::vector<std::string> readerInto(const std::string& out, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" >\"$0\"", out,
                                   ZARVO_READER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The lines -o json printed, joined by newlines again; checks that every
// object is valid JSON with a cursor of its own.
std::string decodeJson(const std::string& printed) {
  std::string lines;
  std::set<std::string> cursors;
  std::istringstream in(printed);
  for (std::string object; std::getline(in, object);) {
    boost::property_tree::ptree tree;
    std::istringstream text(object);
    boost::property_tree::read_json(text, tree);
    const std::string cursor = tree.get<std::string>("cursor");
    EXPECT_EQ(cursor.substr(0, cursor.find(':')), tree.get<std::string>("file")) << object;
    EXPECT_EQ(cursor.substr(cursor.find(':') + 1), tree.get<std::string>("offset")) << object;
    EXPECT_EQ(tree.get<std::string>("time").size(), kTimestampLength) << object;
    if (!cursors.empty()) lines += '\n';
    EXPECT_TRUE(cursors.insert(cursor).second) << object;
    // A string, or an array of byte values.
    const boost::property_tree::ptree& line = tree.get_child("line");
    if (line.empty()) lines += line.data();
    for (const auto& byte : line) lines += static_cast<char>(byte.second.get_value<int>());
  }
  return lines;
}

// Each stored line (its records up to one that ends it) whose first record
// is stamped within [since, until].
std::string linesBetween(const std::string& dir, const std::string& since, const std::string& until) {
  std::string lines;
  bool lineStart = true, taken = false;
  for (const auto& [number, file] : listLogDirectory(dir).files) {
    const LogFile log = parseLog(storedFile(dir, number));
    for (size_t i = 0; i < log.chunks.size(); ++i) {
      const std::string time = log.prefixes[i].substr(0, kTimestampLength);
      if (lineStart) taken = time >= since && time <= until;
      if (taken) lines += log.chunks[i];
      lineStart = log.chunks[i].back() == '\n' || log.chunks[i].size() < 2047;
    }
  }
  return lines;
}

class FollowTest : public ::testing::TestWithParam<FollowRow> {};

TEST_P(FollowTest, PrintsWhatTheWriterStored) {
  const FollowRow& row = GetParam();
  TempDir tmp;
  const std::string dir = tmp / "logs", out = tmp / "out";
  const std::string cursorFile = "--cursor-file=" + (tmp / "cursor"), resumed = tmp / "resumed";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string input = row.reader == Reader::kJson || row.reader == Reader::kJsonResume
                                ? randomBytes(300000, 7) + "\nutf-8 \xc3\xa9 \xf0\x9f\x98\x80 \"q\" \\ \x01\x1f\t\x7f\n" +
                                      std::string(5000, 'x') + "\n" + "no newline"
                                : followInput();
  const std::vector<std::string> writerArgv =
      writer({dir, std::to_string(row.maxFileNum), std::to_string(row.maxFileSize)});
  auto printed = [&] { return exists(out) ? readFile(out) : std::string(); };
  const std::vector<std::string> followArgv = readerInto(out, {"-f", "--raw", dir});
  const std::vector<std::string> chunks = chunksOf(input);

  // A run resumed by the cursor file prints the input's end, from at most
  // `taken` bytes in: what the consumer took before, nothing of it missed.
  auto resumeLosesNothing = [&](size_t taken) {
    const RunResult rest = run(readerInto(resumed, {"--raw", cursorFile, dir}));
    EXPECT_EQ(rest.status, 0) << rest.err;
    const std::string after = readFile(resumed);
    ASSERT_LE(input.size() - after.size(), taken) << "records lost";
    EXPECT_TRUE(after == input.substr(input.size() - after.size()));
  };

  if (row.reader == Reader::kStopAndResume) {
    // One record per file: each chunk after the stop is a file of its own.
    Child writing(writerArgv);
    std::string first;
    for (size_t n = 0; n < chunks.size() / 3; ++n) first += chunks[n];
    writing.write(first);
    Child follower(readerInto(out, {"-f", "--raw", cursorFile, dir}));
    ASSERT_TRUE(eventually([&] { return printed() == first; }, 120));
    follower.signal(SIGTERM);
    EXPECT_EQ(follower.wait(), 0);
    writing.write(input.substr(first.size()));
    writing.closeInput();
    ASSERT_EQ(writing.wait(120), 0);
    const RunResult rest = run(readerInto(resumed, {"--raw", cursorFile, dir}));
    EXPECT_EQ(rest.err, "");
    EXPECT_EQ(rest.status, 0);
    EXPECT_TRUE(printed() + readFile(resumed) == input)
        << printed().size() << " + " << readFile(resumed).size() << " of " << input.size();
    return;
  }
  if (row.reader == Reader::kShipperStops || row.reader == Reader::kShipperCaughtUp ||
      row.reader == Reader::kKillAndResume) {
    // The test is the consumer, on a pipe that holds all the input. As
    // syslog-ng stops its program(): it reads for 100 ms more, TERM, then
    // the pipe closed 50 ms later, with what it read last never passed on.
    // The pipe still holds the rest of the input, so the reader is waiting,
    // not writing; or the reader has caught up and the pipe is empty, the
    // last part stored after the consumer's idle time. A kill comes once the
    // consumer stopped reading over a second before: what waits in the pipe
    // past a save was never taken.
    const bool caughtUp = row.reader == Reader::kShipperCaughtUp;
    const size_t half = caughtUp ? input.find('\n', input.size() / 2) + 1 : input.size();
    Child writing(writerArgv);
    writing.write(input.substr(0, half));
    if (!caughtUp) writing.closeInput();
    const std::string fifo = tmp / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Child follower(readerInto(fifo, {"-f", "--raw", cursorFile, dir}));
    const int pipe = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    ASSERT_GT(fcntl(pipe, F_SETPIPE_SZ, 1 << 20), static_cast<int>(input.size()));
    auto take = [&](size_t size) {
      std::string got(size, '\0');
      for (size_t at = 0; at < size;) {
        const ssize_t n = read(pipe, &got[at], size - at);
        if (n <= 0) return got.substr(0, at);
        at += static_cast<size_t>(n);
      }
      return got;
    };
    auto pause = [](int millis) { std::this_thread::sleep_for(std::chrono::milliseconds(millis)); };
    const bool killed = row.reader == Reader::kKillAndResume;
    const std::string kept = take(caughtUp ? half : input.size() / 3);
    // The kill waits for a save. The shippers idle for one and a second
    // more: the reader then looks at the pipe every 25 ms, so it sees the
    // last read before the stop.
    if (killed) ASSERT_TRUE(eventually([&] { return exists(tmp / "cursor"); }, 120));
    else pause(2500);
    if (caughtUp) {
      writing.write(input.substr(half));
      writing.closeInput();
    }
    const std::string last = take(caughtUp ? input.size() - half : 65536);
    ASSERT_TRUE(kept + last == input.substr(0, kept.size() + last.size()));
    ASSERT_EQ(writing.wait(120), 0);
    if (killed) {
      pause(1200);
      follower.signal(SIGKILL);
    } else {
      pause(100);
      follower.signal(SIGTERM);
      pause(50);
    }
    close(pipe);
    EXPECT_EQ(follower.wait(), killed ? 128 + SIGKILL : 0) << follower.stderrText();
    resumeLosesNothing(kept.size() + (killed ? last.size() : 0));
    return;
  }
  if (row.reader == Reader::kJson) {
    ASSERT_EQ(run(writerArgv, input).status, 0);
    const RunResult json = run(readerInto(out, {"-o", "json", dir}));
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_TRUE(decodeJson(printed()) == input);
    return;
  }
  if (row.reader == Reader::kJsonResume) {
    // The 5000-byte line's object: after its cursor comes the last line, whole.
    ASSERT_EQ(run(writerArgv, input).status, 0);
    ASSERT_EQ(run(readerInto(out, {"-o", "json", dir})).status, 0);
    const std::string p = printed(), x = "\"line\":\"" + std::string(5000, 'x') + "\"";
    const size_t at = p.rfind("{\"cursor\":\"", p.find(x));
    ASSERT_NE(p.find(x), std::string::npos);
    const std::string cursor = p.substr(at + 11, p.find('"', at + 11) - at - 11);
    const RunResult rest = run(readerInto(resumed, {"-o", "json", "--after-cursor=" + cursor, dir}));
    EXPECT_EQ(rest.err, "");
    EXPECT_EQ(decodeJson(readFile(resumed)), "no newline") << cursor;
    return;
  }
  if (row.reader == Reader::kTimeRange) {
    // Three thirds, each stored at a later time than the one before. The
    // first ends with the first piece of a 3000-byte line, which goes on in
    // the next file, after --since; "next line" follows it.
    auto millis = [] { return readClock().seconds * 1000 + readClock().millis; };
    Child writing(writerArgv);
    const size_t at = input.find('\n', input.size() / 3) + 1;
    const std::string ranged = input.substr(0, at) + std::string(3000, 'L') + "\nnext line\n" + input.substr(at);
    // The writer holds back only a piece of a line that is yet to end.
    const size_t cuts[] = {at + 2047, ranged.find('\n', ranged.size() / 3 * 2) + 1, ranged.size()};
    std::string opened;  // when the file after that first piece was opened
    for (size_t third = 0; third < 3; ++third) {
      const size_t from = third == 0 ? 0 : cuts[third - 1];
      writing.write(ranged.substr(from, cuts[third] - from));
      if (third == 2) writing.closeInput();
      const std::string stored = ranged.substr(0, cuts[third]);
      ASSERT_TRUE(eventually([&] {
        if (storedInput(dir) != stored) return false;
        if (third > 0) return true;
        const std::string newest = storedFile(dir, listLogDirectory(dir).highest());
        opened = newest.substr(0, kTimestampLength);
        return parseLog(newest).chunks.empty();
      }, 120));
      const int64_t storedAt = millis();
      ASSERT_TRUE(eventually([&] { return millis() > storedAt + 1; }));
    }
    ASSERT_EQ(writing.wait(120), 0);
    std::set<std::string> times;
    for (const auto& [number, file] : listLogDirectory(dir).files)
      for (const std::string& prefix : parseLog(storedFile(dir, number)).prefixes)
        times.insert(prefix.substr(0, kTimestampLength));
    ASSERT_GE(times.size(), 3u);
    // From the long line's second piece on, up to the last time but one,
    // written the other way.
    const std::string since = *times.upper_bound(opened), until = *std::next(times.rbegin());
    const std::string expected = linesBetween(dir, since, until);
    ASSERT_FALSE(expected.empty());
    std::string untilText = until.substr(0, kTimestampLength - 1);
    untilText[10] = ' ';
    const RunResult range = run(readerInto(out, {"--raw", "--since=" + since, "--until", untilText, dir}));
    EXPECT_EQ(range.err, "");
    EXPECT_EQ(range.status, 0);
    EXPECT_TRUE(printed() == expected) << printed().size() << " bytes for " << expected.size();
    // A relative time counts back from now, whatever the local time zone.
    if (!exists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no time zone data (tzdata)";
    std::vector<std::string> berlin = readerInto(out, {"--raw", "--since=-1h", dir});
    berlin.insert(berlin.begin(), {"env", "TZ=Europe/Berlin"});
    EXPECT_EQ(run(berlin).status, 0);
    EXPECT_TRUE(printed() == ranged) << printed().size() << " bytes for " << ranged.size();
    return;
  }
  if (row.reader == Reader::kAfterStop) {
    ASSERT_EQ(run(writerArgv, input).status, 0);
  }
  Child follower(followArgv);
  std::string expected = input, expectedErr, read;
  if (row.reader == Reader::kLive) {
    ASSERT_EQ(run(writerArgv, input).status, 0);
  } else if (row.reader == Reader::kOutOfOrder) {
    if (const std::string why = whyNoStrace(); !why.empty()) GTEST_SKIP() << why;
    // Slow syncs make a backlog, which the archive thread takes newest
    // first; the writer stops while an older file still waits behind a
    // newer archive, and the directory stays so for the replay.
    Child writing(traced(tmp / "trace", {"-e", "trace=fsync", "-e", "inject=fsync:delay_enter=100000"},
                         writerArgv));
    writing.write(input);
    ASSERT_TRUE(eventually([&] {
      bool waiting = false;
      for (const auto& [number, file] : listLogDirectory(dir).files) {
        if (file.archive && waiting) return true;
        waiting = waiting || (file.log && !file.archive);
      }
      return false;
    }, 120)) << "no newer archive beside an older .log";
    writing.closeInput();
    ASSERT_EQ(writing.wait(120), 0);
    EXPECT_TRUE(eventually([&] { return printed() == expected; }, 120));
    const RunResult replay = run(readerInto(tmp / "replay", {"--raw", dir}));
    EXPECT_EQ(replay.err, "");
    EXPECT_EQ(replay.status, 0);
    EXPECT_TRUE(readFile(tmp / "replay") == input) << "the replay differs";
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
    size_t first = 0;
    for (size_t n = 0; n < (row.reader == Reader::kStallArchived ? chunks.size() / 4 : 1); ++n)
      first += chunks[n].size();
    Child writing(writerArgv);
    writing.write(input.substr(0, first));
    ASSERT_TRUE(eventually([&] { return printed() == input.substr(0, first); }, 120));
    follower.signal(SIGSTOP);
    read = input.substr(0, first);
    // In slices, each waited for: records that come while the archive
    // thread is behind share a file, and retention needs many files to
    // delete some the stopped reader never opened.
    const std::string rest = input.substr(first);
    const size_t slices = row.reader == Reader::kStallRetention ? 8 : 1;
    for (size_t i = 1; i <= slices; ++i) {
      const size_t from = (i - 1) * rest.size() / slices;
      writing.write(rest.substr(from, i * rest.size() / slices - from));
      ASSERT_TRUE(eventually([&] {
        const LogDirectory now = listLogDirectory(dir);
        return row.reader == Reader::kStallArchived
                   ? now.logs().size() == 1 && now.files.size() > 10
                   : now.highest() > i + 2 && now.logs().size() == 1 &&
                         (i < slices || now.files.count(3) == 0);
      }, 120)) << "the archive thread never caught up";
    }
    writing.closeInput();
    ASSERT_EQ(writing.wait(120), 0);
    follower.signal(SIGCONT);
  }
  if (row.reader == Reader::kStallRetention) {
    // The reader names the gap, and then prints what the files after it
    // hold: records that came while the archive thread was behind share a
    // file, so which records the gap took is known only from the files left.
    ASSERT_TRUE(eventually([&] { return !follower.stderrText().empty(); }, 120));
    std::smatch gap;
    const std::string err = follower.stderrText();
    ASSERT_TRUE(std::regex_search(err, gap, std::regex("zarvo-access-(\\d+)\\.log\"`: (files \\d+ to (\\d+))?")))
        << err;
    const size_t from = std::stoul(gap[1]), to = gap[3].matched ? std::stoul(gap[3]) : from;
    ASSERT_GE(from, 2u) << err;
    ASSERT_GE(to, from) << err;
    ASSERT_EQ(listLogDirectory(dir).files.begin()->first, to + 1) << err;
    // Before the gap, the start of the input; after it, every file left.
    const std::string kept = storedInput(dir);
    ASSERT_TRUE(eventually([&] {
      const std::string p = printed();
      return p.size() >= kept.size() && p.compare(p.size() - kept.size(), kept.size(), kept) == 0;
    }, 120)) << "the files after the gap were not printed";
    const std::string head = printed().substr(0, printed().size() - kept.size());
    ASSERT_GE(head.size(), read.size());
    ASSERT_EQ(input.compare(0, head.size(), head), 0) << "the gap is not one hole";
    expected = head + kept;
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

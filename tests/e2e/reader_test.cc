// The companion reader on prepared directories: what it prints (records as
// lines, or the input with --raw; the last COUNT as tail -n has them), what
// it says on stderr and its status, for a file still being written, a .log
// beside its partial archive, restarts of the writer, a stray entry, a file
// deleted, every spelling of a number, a cut archive and -o json over a
// long line and a gap; that it stops on
// TERM with its output blocked, reads a huge file in flat memory, ends as
// `| head` needs when its output goes, and ends a follow whose directory, or
// whose files, were removed.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "format/clock_reading.h"
#include "format/file_header.h"
#include "format/line_prefix.h"
#include "tests/support/files.h"
#include "tests/support/log_directory.h"
#include "tests/support/log_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace zarvo::test {
namespace {

struct Case {
  std::vector<std::string> args;  // the reader's options; DIRECTORY comes last
  std::string out;                // standard output, byte for byte
  std::string err;                // standard error, byte for byte
  int status = 0;
  std::shared_ptr<Child> writing;  // a writer still running while the reader reads
  void (*meanwhile)(const std::string& dir) = nullptr;  // done to a follower's directory
};

enum class Check {
  kOutput,          // out, err and status
  kStopWhenBlocked, // -f with standard output full: TERM ends it within a second
  kFlatMemory,      // -f: out, and a peak RSS of a few MiB
  kFollowThen,      // -f: out, then `meanwhile`, and the follower ends by itself
  kOutputGoesAway,  // standard output's reader goes: err and status
};

struct ReaderRow {
  const char* name;
  Case (*prepare)(const std::string& dir);
  Check check = Check::kOutput;
};

// Lines of several lengths, one of them three records long.
std::string someLines(int count, const std::string& tag) {
  std::string input;
  for (int i = 1; i <= count; ++i)
    input += tag + std::to_string(i) + std::string(i == count - 2 ? 5000 : i % 7 * 30, 'x') + "\n";
  return input;
}

void store(const std::string& dir, const std::string& input, const char* maxFileSize) {
  EXPECT_EQ(run(writer({dir, "1000", maxFileSize}), input).status, 0);
}

// What the reader prints without --raw: each stored record as a line.
std::string recordLines(const std::string& dir) {
  std::string all;
  for (const auto& [number, file] : listLogDirectory(dir).files) {
    const LogFile log = parseLog(storedFile(dir, number));
    for (size_t i = 0; i < log.chunks.size(); ++i) {
      all += log.prefixes[i] + log.chunks[i];
      if (log.chunks[i].back() != '\n') all += '\n';
    }
  }
  return all;
}

std::string tailLines(const std::string& text, int count) {
  TempDir tmp;
  writeFile(tmp / "in", text);
  EXPECT_EQ(run({"sh", "-c", "tail -n \"$0\" \"$1\" >\"$2\"", std::to_string(count), tmp / "in",
                 tmp / "out"}).status, 0);
  return readFile(tmp / "out");
}

// A writer still running, its files rotated and archived, its newest file
// holding records: the reader without -f must read that one too.
Case whileWriting(const std::string& dir, std::vector<std::string> args, int tail, bool raw) {
  Case c;
  c.args = std::move(args);
  c.writing = std::make_shared<Child>(writer({dir, "1000", "3000"}));
  const std::string input = someLines(60, "w");
  c.writing->write(input);
  EXPECT_TRUE(eventually([&] {
    const LogDirectory now = listLogDirectory(dir);
    return storedInput(dir) == input && now.caughtUpAt(dir) != 0 && now.files.size() > 3;
  }));
  c.out = raw ? input : recordLines(dir);
  if (tail >= 0) c.out = tailLines(c.out, tail);
  return c;
}

std::string lineOf(const std::string& dir, uint64_t n) { return dir + "/" + logName(n); }

// The writer's exit may leave a file both as .log and as .gz.
void removeNumber(const std::string& dir, uint64_t n) {
  for (const std::string& path : {lineOf(dir, n), dir + "/" + gzName(n)}) {
    if (exists(path)) {
      EXPECT_EQ(unlink(path.c_str()), 0);
    }
  }
}

// Runs of the writer that each end in a file just begun (MAXFILESIZE 0
// rotates after every record), the next run removing it, and a stray
// directory that the next run numbers past.
Case restartsAndAStray(const std::string& dir) {
  store(dir, "r1\nr2\n", "0");
  store(dir, "r3\n", "0");
  EXPECT_EQ(mkdir(lineOf(dir, 9).c_str(), 0755), 0);
  store(dir, "r4\nr5", "100000");
  Case c;
  c.args = {"--raw"};
  c.out = "r1\nr2\nr3\nr4\nr5";
  c.err = "Skipped: `\"" + lineOf(dir, 9) + "\"`: not a regular file\n";
  return c;
}

Case aFileDeleted(const std::string& dir) {
  store(dir, "d1\nd2\nd3\nd4\n", "0");
  removeNumber(dir, 2);
  Case c;
  c.args = {"--raw"};
  c.out = "d1\nd3\nd4\n";
  c.err = "Records lost: `\"" + lineOf(dir, 2) + "\"`: deleted before it could be read\n";
  c.status = 1;
  return c;
}

// The newest .log, and beside it the first half of its archive, as the
// archive thread leaves it while it writes.
Case logBesideItsArchive(const std::string& dir) {
  store(dir, someLines(40, "g"), "2000");
  const uint64_t newest = listLogDirectory(dir).highest();
  const std::string log = lineOf(dir, newest);
  EXPECT_EQ(run({"sh", "-c", "gzip -c \"$0\" | head -c 300 >\"$0.gz\"", log}).status, 0);
  Case c;
  c.out = recordLines(dir);
  return c;
}

// Number 7 under a spelling the writer's start-up reads as 7; the next run
// goes on at 8.
Case seven(const std::string& dir, const std::string& name) {
  store(dir, "p1\np2\n", "100000");
  const std::string first = lineOf(dir, 1);
  if (name.size() > 3 && name.substr(name.size() - 3) == ".gz") {
    EXPECT_EQ(run({"sh", "-c", "gzip -c \"$0\" >\"$1\" && rm \"$0\"", first, dir + "/" + name}).status, 0);
  } else {
    EXPECT_EQ(rename(first.c_str(), (dir + "/" + name).c_str()), 0);
  }
  store(dir, "p3\n", "100000");
  Case c;
  c.args = {"--raw"};
  c.out = "p1\np2\np3\n";
  return c;
}

// An archive cut inside a record: deflated with a flush right there, then
// cut at the flush, so exactly the bytes before it can be inflated.
Case cutArchive(const std::string& dir) {
  store(dir, "c1\nc2\nc3 is cut\n", "0");
  const std::string gz = dir + "/" + gzName(2), bytes = storedFile(dir, 2);
  removeNumber(dir, 2);
  const size_t keep = bytes.size() - 2;  // "c2" without its newline
  gzFile out = gzopen(gz.c_str(), "wb");
  gzwrite(out, bytes.data(), static_cast<unsigned>(keep));
  gzflush(out, Z_SYNC_FLUSH);
  struct stat st;
  EXPECT_EQ(stat(gz.c_str(), &st), 0);
  gzwrite(out, bytes.data() + keep, static_cast<unsigned>(bytes.size() - keep));
  gzclose(out);
  EXPECT_EQ(truncate(gz.c_str(), st.st_size), 0);
  Case c;
  c.args = {"--raw"};
  c.out = "c1\nc\nc3 is cut\n";
  c.err = "Records lost: `\"" + gz + "\"`: unexpected end of file\n";
  c.status = 1;
  return c;
}

// Archives that zlib would read without a word: bytes appended to one, plain
// text under the name of another, and one of no bytes at all.
Case junkArchives(const std::string& dir) {
  store(dir, "j1\nj2\n", "0");
  const std::string one = storedFile(dir, 1), two = storedFile(dir, 2);
  removeNumber(dir, 1);
  removeNumber(dir, 2);
  const std::string gz1 = dir + "/" + gzName(1), gz2 = dir + "/" + gzName(2), gz4 = dir + "/" + gzName(4);
  writeFile(dir + "/one", one);
  EXPECT_EQ(run({"sh", "-c", "gzip -c \"$0\" >\"$1\" && echo junk >>\"$1\" && rm \"$0\"",
                 dir + "/one", gz1}).status, 0);
  writeFile(gz2, two);
  writeFile(gz4, "");
  Case c;
  c.args = {"--raw"};
  c.out = "j1\n";
  c.err = "Records lost: `\"" + gz1 + "\"`: bytes after the end of the archive\n"
          "Records lost: `\"" + gz2 + "\"`: not a gzip archive\n"
          "Records lost: `\"" + gz4 + "\"`: empty archive\n";
  c.status = 1;
  return c;
}

// Far more than a pipe holds.
Case muchStored(const std::string& dir) {
  store(dir, std::string(300000, 'm') + "\n" + someLines(2000, "m"), "100000");
  return {};
}

// As `| head` does: without -f a quiet end, with -f status 1 for a supervisor.
Case readerGoesAway(const std::string& dir, bool follow) {
  Case c = muchStored(dir);
  if (follow) {
    c.args = {"-f"};
    c.err = "Cannot write to stdout: Broken pipe\n";
    c.status = 1;
  }
  return c;
}

// One file of a million records, written here rather than through the
// writer, so that the reader is the only child this row waits for.
Case hugeFile(const std::string& dir) {
  std::ofstream file(lineOf(dir, 1), std::ios::binary);
  file << writeHeader();
  std::ostringstream prefix;
  formatPrefix(prefix, ClockReading{1796900000, 123});
  const std::string head = prefix.str();
  std::string block;
  Case c;
  for (int n = 0; n < 1000000; ++n) {
    std::string record = head + "h" + std::to_string(n) + "\n";
    if (n >= 999997) c.out += record;
    block += record;
    if (block.size() > (1 << 20)) {
      file << block;
      block.clear();
    }
  }
  file << block;
  c.args = {"-f", "-n", "3"};
  return c;
}

// -o json -n 2 over two 5000-byte lines (three records each) and the next
// file deleted: the second line whole, its last record's cursor and offset,
// the host given, and the gap as an object between the lines around it.
Case jsonLongLineAndGap(const std::string& dir) {
  std::ostringstream prefix;
  formatPrefix(prefix, ClockReading{1796900000, 123});
  const std::string head = writeHeader(), p = prefix.str(), x(5000, 'x');
  const std::string line = p + x.substr(0, 2047) + p + x.substr(2047, 2047) + p + x.substr(4094) + "\n";
  writeFile(lineOf(dir, 1), head + line + line);
  writeFile(lineOf(dir, 3), head + p + "b1\n");
  const std::string last = std::to_string(head.size() + 5 * p.size() + 5001 + 2 * 2047),
                    first = std::to_string(head.size()), time = p.substr(0, 24);
  Case c;
  c.args = {"-o", "json", "--host=h1", "-n", "2"};
  c.out = "{\"cursor\":\"1:" + last + "\",\"host\":\"h1\",\"file\":1,\"offset\":" + last +
          ",\"time\":\"" + time + "\",\"time_unix_ms\":1796900000123,\"line\":\"" + x + "\"}\n" +
          "{\"host\":\"h1\",\"file\":2,\"offset\":0,\"time\":\"" + time +
          "\",\"time_unix_ms\":1796900000123,\"gap\":\"deleted before it could be read\","
          "\"last_file\":2,\"bytes\":null,\"records\":null}\n"
          "{\"cursor\":\"3:" + first + "\",\"host\":\"h1\",\"file\":3,\"offset\":" + first +
          ",\"time\":\"" + time + "\",\"time_unix_ms\":1796900000123,\"line\":\"b1\"}\n";
  c.err = "Records lost: `\"" + lineOf(dir, 2) + "\"`: deleted before it could be read\n";
  c.status = 1;
  return c;
}

void removeAll(const std::string& dir) { boost::filesystem::remove_all(dir); }

void emptyAndRestart(const std::string& dir) {
  for (const std::string& name : listDir(dir)) boost::filesystem::remove(dir + "/" + name);
  store(dir, "again\n", "100000");
}

// A follower caught up, then its directory goes, or its files go and the
// writer starts again at 1.
Case followed(const std::string& dir, void (*meanwhile)(const std::string&)) {
  store(dir, "f1\nf2\n", "0");
  Case c;
  c.args = {"-f", "--raw"};
  c.out = "f1\nf2\n";
  c.err = "Cannot follow directory `\"" + dir + "\"`: " +
          (meanwhile == removeAll ? "it was removed\n" : "its files were removed\n");
  c.status = 1;
  c.meanwhile = meanwhile;
  return c;
}

const ReaderRow kReaderRows[] = {
    {"ReplayPrintsEachRecordAsALine",
     [](const std::string& dir) { return whileWriting(dir, {}, -1, false); }},
    {"ReplayRawGivesTheInputBack",
     [](const std::string& dir) { return whileWriting(dir, {"--raw"}, -1, true); }},
    {"LastZeroPrintsNothing",
     [](const std::string& dir) { return whileWriting(dir, {"-n", "0"}, 0, false); }},
    {"LastOneIsTheNewestRecord",
     [](const std::string& dir) { return whileWriting(dir, {"-n", "1"}, 1, false); }},
    {"LastManyReachIntoOlderFiles",
     [](const std::string& dir) { return whileWriting(dir, {"-n", "30"}, 30, false); }},
    {"LastRawCountsLinesNotRecords",
     [](const std::string& dir) { return whileWriting(dir, {"-n3", "--raw"}, 3, true); }},
    {"TheLogIsReadNotItsArchiveBesideIt", logBesideItsArchive},
    {"RestartsAndAStrayEntryLeaveNoGap", restartsAndAStray},
    {"AFileDeletedIsSaid", aFileDeleted},
    {"SevenWithoutDash", [](const std::string& dir) { return seven(dir, "zarvo-access7.log"); }},
    {"SevenWithPlus", [](const std::string& dir) { return seven(dir, "zarvo-access+7.log"); }},
    {"SevenZeroPadded", [](const std::string& dir) { return seven(dir, "zarvo-access-007.log"); }},
    {"SevenArchived", [](const std::string& dir) { return seven(dir, "zarvo-access7.log.gz"); }},
    {"ACutArchiveEndsItsRecordAndSaysSo", cutArchive},
    {"ArchivesZlibWouldPassAreSaid", junkArchives},
    {"JsonCountsLinesAndSaysTheGapInPlace", jsonLongLineAndGap},
    {"TermEndsAFollowerBlockedOnAFullOutput", muchStored, Check::kStopWhenBlocked},
    {"LastFewOfAHugeFileInFlatMemory", hugeFile, Check::kFlatMemory},
    {"AClosedOutputEndsAReplayQuietly",
     [](const std::string& dir) { return readerGoesAway(dir, false); }, Check::kOutputGoesAway},
    {"AClosedOutputEndsAFollowerWithStatusOne",
     [](const std::string& dir) { return readerGoesAway(dir, true); }, Check::kOutputGoesAway},
    {"ARemovedDirectoryEndsTheFollower",
     [](const std::string& dir) { return followed(dir, removeAll); }, Check::kFollowThen},
    {"FilesRemovedUnderTheFollowerEndIt",
     [](const std::string& dir) { return followed(dir, emptyAndRestart); }, Check::kFollowThen},
};

// {sh, -c, exec the reader with stdout to out} for args and dir.
std::vector<std::string> readerTo(const std::string& out, const Case& c, const std::string& dir) {
  std::vector<std::string> argv{"sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\"", "sh", out,
                                ZARVO_READER_PATH};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  argv.push_back(dir);
  return argv;
}

// The peak RSS of a running process's own memory (not of the test it was
// forked from), in KiB.
long peakRssKiB(pid_t pid) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
  return -1;
}

class ReaderTest : public ::testing::TestWithParam<ReaderRow> {};

TEST_P(ReaderTest, PrintsSaysAndEndsAsStored) {
  const ReaderRow& row = GetParam();
  TempDir tmp;
  const std::string dir = tmp / "logs", out = tmp / "out";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const Case c = row.prepare(dir);
  ASSERT_FALSE(::testing::Test::HasFailure()) << "the directory could not be prepared";
  if (row.check == Check::kStopWhenBlocked || row.check == Check::kOutputGoesAway) {
    // The test holds the FIFO's reading end and never reads.
    const std::string fifo = tmp / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int held = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    Case follow = c;
    if (row.check == Check::kStopWhenBlocked) follow.args = {"-f"};
    Child reader(readerTo(fifo, follow, dir));
    ASSERT_TRUE(eventually([&] {
      int queued = 0;
      return ioctl(held, FIONREAD, &queued) == 0 && queued >= 65536;
    })) << "the output never filled";
    if (row.check == Check::kOutputGoesAway) {
      close(held);
      EXPECT_EQ(reader.wait(20), c.status);
      EXPECT_EQ(reader.stderrText(), c.err);
      return;
    }
    reader.signal(SIGTERM);
    EXPECT_TRUE(reader.endsWithin(1.0)) << "TERM did not end a follower blocked on its output";
    EXPECT_EQ(reader.wait(), 0);
    EXPECT_EQ(reader.stderrText(), "");
    close(held);
    return;
  }
  if (row.check == Check::kFollowThen) {
    Child reader(readerTo(out, c, dir));
    ASSERT_TRUE(eventually([&] { return exists(out) && readFile(out) == c.out; }));
    c.meanwhile(dir);
    EXPECT_TRUE(reader.endsWithin(20)) << "the follower went on";
    EXPECT_EQ(reader.wait(), c.status);
    EXPECT_EQ(reader.stderrText(), c.err);
    return;
  }
  if (row.check == Check::kFlatMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer runtime takes far more memory than the reader itself";
#endif
    // Following, the reader stays alive once the start is found and printed.
    Child reader(readerTo(out, c, dir));
    EXPECT_TRUE(eventually([&] { return exists(out) && readFile(out) == c.out; }))
        << (exists(out) ? readFile(out) : "no output");
    const long rss = peakRssKiB(reader.pid());
    EXPECT_GT(rss, 0);
    EXPECT_LT(rss, 8 * 1024) << "KiB of RSS for -n on a file of 1,000,000 records";
    reader.signal(SIGTERM);
    EXPECT_EQ(reader.wait(), 0);
    return;
  }
  const RunResult result = run(readerTo(out, c, dir));
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.err, c.err);
  EXPECT_EQ(exists(out) ? readFile(out) : "", c.out);
}

INSTANTIATE_TEST_SUITE_P(Rows, ReaderTest, ::testing::ValuesIn(kReaderRows),
                         [](const ::testing::TestParamInfo<ReaderRow>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
}  // namespace zarvo::test

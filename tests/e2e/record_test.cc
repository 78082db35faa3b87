// The record loop of the real writer: what lands in the files, where the
// files rotate, the link, and how signals end or rotate a run.
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/log_directory.h"
#include "tests/support/log_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace zarvo::test {
namespace {

const std::regex kPrefix(
    R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z info zarvo\[\d+\] \[Originator@8461 sub=Default\] )");


// Waits up to three seconds (well inside the five-second flush) for the
// stored records to read `expected`.
bool storedWithin(const std::string& dir, const std::string& expected) {
  return eventually([&] { return storedInput(dir) == expected; }, 3);
}

// The clock now, in milliseconds since the epoch.
int64_t nowMillis() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return int64_t{tv.tv_sec} * 1000 + tv.tv_usec / 1000;
}

// The timestamp that starts `line`, in milliseconds since the epoch (UTC).
int64_t stampMillis(const std::string& line) {
  tm parts{};
  int millis = 0;
  if (std::sscanf(line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &parts.tm_year, &parts.tm_mon,
                  &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &millis) != 7)
    return -1;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return int64_t{timegm(&parts)} * 1000 + millis;
}

// Writes `input` through a writer that keeps running until the test is done.
std::string sample() {
  std::string input = "GET /a 200\nGET /b 404\n" + std::string(4999, 'x') + "\n";
  input += std::string("nul\0inside\n", 11);
  input += "\n\nlast line without newline";
  return input;
}

TEST(Records, EmptyInputLeavesOneFileWithItsHeader) {
  TempDir dir;
  RunResult r = run(writer({dir.path().string(), "3", "1000"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  LogFile log = readLog(dir / logName(1));
  EXPECT_TRUE(log.chunks.empty());
  EXPECT_EQ(readFile(dir / logName(1)), log.sectionLine + log.formatLine);
}

TEST(Records, EveryChunkIsStoredBehindOnePrefixNulBytesIncluded) {
  TempDir dir;
  const int64_t started = nowMillis();
  Child child(writer({dir.path().string(), "3", "100000000"}));
  const std::string input = sample();
  child.write(input);
  child.closeInput();
  EXPECT_EQ(child.wait(), 0);
  const int64_t ended = nowMillis();
  EXPECT_EQ(child.stderrText(), "");
  LogFile log = readLog(dir / logName(1));
  EXPECT_EQ(log.body(), input);
  EXPECT_EQ(log.chunks.size(), 2u + 3u + 1u + 3u);
  EXPECT_EQ(log.chunks[2], std::string(2047, 'x'));
  EXPECT_EQ(log.chunks[4], std::string(905, 'x') + "\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(log.formatLine, m, std::regex(R"(zarvo\[(\d+)\])")));
  const std::string threadTag = "zarvo[" + m[1].str() + "]";
  for (const std::string& prefix : log.prefixes) {
    EXPECT_TRUE(std::regex_match(prefix, kPrefix)) << prefix;
    EXPECT_NE(prefix.find(threadTag), std::string::npos) << "same thread as the header";
  }
  EXPECT_TRUE(std::regex_match(
      log.sectionLine,
      std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z Section for Quvane Lanternharbor, pid=)" +
                 std::to_string(child.pid()) + R"(, version=3\.8\.1, build=13572468, option=Release\n)")));
  EXPECT_TRUE(std::regex_match(log.formatLine.substr(0, log.prefixes[0].size()), kPrefix));
  // The second line as the file holds it, not as the parser found it.
  const std::string bytes = readFile(dir / logName(1));
  const size_t second = bytes.find('\n') + 1;
  EXPECT_EQ(bytes.substr(second + log.prefixes[0].size(),
                         bytes.find('\n', second) + 1 - second - log.prefixes[0].size()),
            kFormatText);
  // Every stamp is the real clock (UTC) at some moment of the run.
  std::vector<std::string> stamped = log.prefixes;
  stamped.push_back(log.sectionLine);
  stamped.push_back(log.formatLine);
  for (const std::string& line : stamped) {
    const int64_t at = stampMillis(line);
    EXPECT_GE(at, started) << line.substr(0, 24) << " is before the run started";
    EXPECT_LE(at, ended) << line.substr(0, 24) << " is after the run ended";
  }
}

TEST(Records, FilesRotateOnceTheirSizeExceedsTheLimit) {
  const std::string input = sample();
  for (uint64_t limit : {0, 1, 700, 3000, 5000}) {
    TempDir dir;
    RunResult r = run(writer({dir.path().string(), "100", std::to_string(limit)}), input);
    ASSERT_EQ(r.status, 0) << r.err;
    int files = 0;
    while (exists(dir / logName(files + 1)) || exists(dir / (logName(files + 1) + ".gz"))) ++files;
    EXPECT_EQ(storedInput(dir.path().string()), input);
    expectRotation(dir.path().string(), limit, {static_cast<uint64_t>(files)});
    EXPECT_FALSE(exists(dir / logName(files + 1)) || exists(dir / gzName(files + 1)));
    if (limit == 0) {
      EXPECT_EQ(files, 10);  // one record a file, then an empty current file
    }
  }
}

TEST(Records, ASizeEqualToTheLimitDoesNotRotateYet) {
  // The header's size depends on the pid; measure it from a first run and
  // retry when the next run's pid has another width.
  for (int attempt = 0; attempt < 5; ++attempt) {
    TempDir probe;
    ASSERT_EQ(run(writer({probe.path().string(), "100", "100000"}), "0123456789\n").status, 0);
    const uint64_t oneRecord = storedFile(probe.path().string(), 1).size();
    TempDir dir;
    RunResult r = run(writer({dir.path().string(), "100", std::to_string(oneRecord)}),
                      "0123456789\n0123456789\n");
    ASSERT_EQ(r.status, 0);
    const LogFile first = parseLog(storedFile(dir.path().string(), 1));
    if (first.sectionLine.size() != parseLog(storedFile(probe.path().string(), 1)).sectionLine.size())
      continue;
    EXPECT_EQ(first.chunks.size(), 2u);
    EXPECT_TRUE(exists(dir / logName(2)));
    EXPECT_FALSE(exists(dir / logName(3)));
    return;
  }
  GTEST_SKIP() << "header width kept changing between runs";
}

TEST(Records, TheLinkNamesTheCurrentFileAndResolvesToIt) {
  TempDir dir;
  mkdir((dir / "logs").c_str(), 0755);
  struct Case {
    std::string directory, cwd, linkText;
  } cases[] = {
      {dir / "logs", "", dir / "logs/zarvo-access-2.log"},
      {dir / "logs/", "", dir / "logs/zarvo-access-4.log"},
      {"logs", dir.path().string(), "zarvo-access-6.log"},
      {".", dir / "logs", "zarvo-access-8.log"},
  };
  for (const Case& c : cases) {
    RunResult r = run(writer({c.directory, "100", "0"}), "one\n", 60, c.cwd);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readLink(dir / "logs/zarvo-access.log"), c.linkText) << c.directory;
    struct stat target, current;
    ASSERT_EQ(stat((dir / "logs/zarvo-access.log").c_str(), &target), 0) << c.directory;
    ASSERT_EQ(stat((dir / "logs/" + c.linkText.substr(c.linkText.rfind('/') + 1)).c_str(), &current), 0);
    EXPECT_EQ(target.st_ino, current.st_ino) << c.directory;
  }
}

TEST(Records, TheLinkPathTakenByAFileOrADirectory) {
  TempDir dir;
  writeFile(dir / "zarvo-access.log", "someone's file");
  RunResult r = run(writer({dir.path().string(), "3", "1000"}), "x\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(readLink(dir / "zarvo-access.log"), dir / logName(1));

  TempDir other;
  mkdir((other / "zarvo-access.log").c_str(), 0755);
  r = run(writer({other.path().string(), "3", "1000"}), "x\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Cannot create symbolic link `" + (other / "zarvo-access.log") + "` -> `" +
                       (other / logName(1)) + "`: Is a directory\n");
  EXPECT_EQ(readLog(other / logName(1)).body(), "x\n");

  // Another user's link in a sticky directory: the unlink is refused.
  if (const std::string why = whyNoUnprivileged(); !why.empty()) GTEST_SKIP() << why;
  TempDir sticky;
  chmod(sticky.path().c_str(), 01777);
  symlink("elsewhere", (sticky / "zarvo-access.log").c_str());
  ASSERT_EQ(lchown((sticky / "zarvo-access.log").c_str(), 1, 1), 0);
  r = run(unprivileged(writer({sticky.path().string(), "3", "1000"})), "x\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Shared directory `\"" + sticky.path().string() +
                       "\"`: writable by group or others, who can plant entries and remove or "
                       "replace logs\nCannot create symbolic link `" + (sticky / "zarvo-access.log") +
                       "` -> `" + (sticky / logName(1)) + "`: Operation not permitted\n");
}

// A reader that looks the link's name up while thousands of rotations
// replace it must always find it (lstat: the name itself, not the file it
// names, which the archive thread removes soon after).
TEST(Records, TheLinkNameNeverGoesMissingDuringARotationStorm) {
  TempDir dir;
  const std::string link = dir / "zarvo-access.log";
  std::string input;
  for (int i = 0; i < 5000; ++i) input += "GET /storm/" + std::to_string(i) + "\n";
  // Retention never full: no rotation waits for the archive thread.
  Child child(writer({dir.path().string(), "100000", "0"}));
  child.write("first\n");
  ASSERT_TRUE(eventually([&] { return exists(link); }));
  std::atomic<bool> stop{false};
  long lookups = 0, missing = 0;
  std::thread reader([&] {
    for (struct stat st; !stop; ++lookups) missing += lstat(link.c_str(), &st) != 0 ? 1 : 0;
  });
  child.write(input);
  child.closeInput();
  EXPECT_EQ(child.wait(), 0);
  stop = true;
  reader.join();
  EXPECT_EQ(missing, 0) << "of " << lookups << " lookups";
  EXPECT_GT(lookups, 1000);
}

// Input that is always ready (a proxy faster than the disk): the writer
// never waits, and a stop or rotate request must still be acted on. A
// request that is never acted on waits for good, so the limits are generous
// for a loaded machine or a sanitizer build; on failure the message shows
// what the writer had done.
TEST(Records, SignalsActOnWhileInputNeverRunsDry) {
  for (int sig : {SIGALRM, SIGTERM}) {
    TempDir dir;
    Child child({"bash", "-c", "exec \"$0\" \"$@\" </dev/zero", ZARVO_WRITER_PATH,
                 dir.path().string(), "2", "100000000000"});
    auto state = [&] {
      std::string names;
      for (const std::string& name : listDir(dir.path().string())) names += " " + name;
      return std::string(strsignal(sig)) + "; files:" + names + "; stderr: " + child.stderrText();
    };
    // A file that holds no record yet is not rotated: the request would be
    // dropped, rightly, before the first read of a slow (sanitizer) build.
    auto holdsRecords = [&] {
      struct stat st {};
      return stat((dir / logName(1)).c_str(), &st) == 0 && st.st_size > 100000;
    };
    ASSERT_TRUE(eventually(holdsRecords, 20)) << state();
    child.signal(sig);
    if (sig == SIGALRM) {
      EXPECT_TRUE(eventually([&] { return exists(dir / logName(2)); }, 15))
          << "no rotation; " << state();
      child.signal(SIGTERM);
    }
    ASSERT_TRUE(child.endsWithin(15)) << "never acted on; " << state();
    EXPECT_EQ(child.wait(), 0) << state();
    EXPECT_EQ(child.stderrText(), "");
  }
}

TEST(Records, StopSignalsWriteEverythingReadAndExitZero) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    TempDir dir;
    Child child(writer({dir.path().string(), "3", "100000"}));
    child.write("a\nb\n");
    ASSERT_TRUE(storedWithin(dir.path().string(), "a\nb\n")) << "records reach the file at once";
    child.write("partial");
    ASSERT_TRUE(eventually([&] { return child.unreadInput() == 0; })) << "never read";
    child.signal(sig);
    ASSERT_TRUE(child.endsWithin(2)) << strsignal(sig) << " with the input still open";
    EXPECT_EQ(child.wait(), 0) << strsignal(sig);
    EXPECT_EQ(child.stderrText(), "");
    EXPECT_EQ(storedInput(dir.path().string()), "a\nb\npartial") << strsignal(sig);
  }
}

// The writer's main thread is blocked in the wait for input.
bool waitsForInput(pid_t pid) {
  return readFile("/proc/" + std::to_string(pid) + "/syscall").rfind(std::to_string(SYS_ppoll) + " ", 0) == 0;
}

TEST(Records, AlarmOrUsr1RotatesAFileThatHoldsRecords) {
  for (int sig : {SIGALRM, SIGUSR1}) {
    SCOPED_TRACE(strsignal(sig));
    TempDir dir;
    Child child(writer({dir.path().string(), "100", "100000"}));
    // The link follows the first file, which follows the signal handling.
    ASSERT_TRUE(eventually([&] { return exists(dir / "zarvo-access.log"); })) << "never started";
    child.signal(sig);
    // Taken, and acted on before the next input is read.
    ASSERT_TRUE(eventually([&] { return !child.signalPending(sig); })) << "never taken";
    child.write("a\n");
    ASSERT_TRUE(storedWithin(dir.path().string(), "a\n"));
    EXPECT_FALSE(exists(dir / logName(2))) << "an empty file is not rotated";
    child.signal(sig);
    // Back in the wait for input after the rotation, the new file's header
    // has reached the file, as records do.
    EXPECT_TRUE(eventually([&] {
      return readLink(dir / "zarvo-access.log") == dir / logName(2) && waitsForInput(child.pid());
    }));
    EXPECT_NE(readFile(dir / logName(2)), "") << "the header still waits in the buffer";
    child.write("b\n");
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(storedInput(dir.path().string()), "a\nb\n");
    EXPECT_EQ(readLink(dir / "zarvo-access.log"), dir / logName(2));
  }
}

TEST(Records, AKillWhileTheInputIsQuietLosesNothing) {
  TempDir dir;
  Child child(writer({dir.path().string(), "100", "300"}));
  std::string input;
  for (int i = 0; i < 50; ++i) input += "request " + std::to_string(i) + "\n";
  child.write(input);
  EXPECT_TRUE(storedWithin(dir.path().string(), input));
  child.signal(SIGKILL);
  child.wait();
  EXPECT_EQ(storedInput(dir.path().string()), input);
}

}  // namespace
}  // namespace zarvo::test

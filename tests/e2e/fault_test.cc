// The real writer under real faults: a full disk, no inode left, a
// directory for standard input, entries planted where the next file goes, and
// a directory that stops accepting new files (failing writes, closes and
// reads under strace are rows of the fault matrix). Each run must end
// with status 1 and its one message, and what is on disk must be an exact
// prefix of the input, never followed by later bytes; a full disk instead
// pauses the writer until room returns or a stop comes.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/input.h"
#include "tests/support/log_directory.h"
#include "tests/support/log_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace zarvo::test {
namespace {

// A path as the writer's messages quote it.
std::string quoted(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '&') out += '&';
    out += c;
  }
  return out + "\"";
}

std::string openFailed(const std::string& path, const std::string& error) {
  return "Cannot open file: `" + quoted(path) + "`: " + error + "\n";
}

// Every run here ends within moments of its fault; a writer that carries on
// instead fails the test after this many seconds.
constexpr double kEnds = 10;

// Waits for the records of one log file to read `body`: they reached the disk.
bool fileHoldsWithin(const std::string& path, const std::string& body) {
  return eventually([&] { return readLog(path).body() == body; }, kEnds);
}

// stderr without one line that another thread may or may not have printed
// before the process ended.
std::string withoutLine(const std::string& text, const std::string& line) {
  std::string out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (l + "\n" != line) out += l + "\n";
  }
  return out;
}

// --- tmpfs in a private mount namespace --------------------------------

std::string whyNoTmpfs() {
  if (!haveCommand("unshare")) return "unshare is not installed";
  TempDir probe;
  RunResult r = run({"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs \"$1\"", "sh",
                     probe.path().string()});
  if (r.status != 0) return "cannot mount a tmpfs in a private mount namespace: " + r.err;
  return "";
}

constexpr int kMountRefused = 125;

// Mounts a tmpfs with `options` over dir in a mount namespace of its own,
// runs the writer there on `inputFile`, then copies what it left into
// `copyTo`, since the tmpfs goes with the namespace.
RunResult runOnTmpfs(const std::string& options, const std::string& dir,
                     const std::string& maxFileSize, const std::string& inputFile,
                     const std::string& copyTo) {
  const std::string script =
      "mount -t tmpfs -o \"$1\" tmpfs \"$2\" || exit 125\n"
      "\"$3\" \"$2\" 3 \"$4\" <\"$5\"\n"
      "status=$?\n"
      "cp -a \"$2\"/. \"$6\" || exit 126\n"
      "exit $status\n";
  return run({"unshare", "-m", "sh", "-c", script, "sh", options, dir, ZARVO_WRITER_PATH,
              maxFileSize, inputFile, copyTo},
             "", kEnds);
}

// A tmpfs of its own for a writer that must go on running while the test
// acts on its disk: the seed's files are copied there first, the writer's
// pid is left in pidFile, and what the disk holds at the end is copied out.
// The test reaches the disk through the namespace's root, inside().
struct TmpfsRun {
  TempDir work;
  std::string disk = work / "disk", seed = work / "seed", copy = work / "copy",
              pidFile = work / "pid";
  std::unique_ptr<Child> child;

  TmpfsRun() {
    for (const std::string& d : {disk, seed, copy}) mkdir(d.c_str(), 0755);
  }

  void start(const std::string& size, const std::vector<std::string>& command) {
    const std::string script =
        "mount -t tmpfs -o size=\"$1\" tmpfs \"$2\" || exit 125\n"
        "cp -a \"$3\"/. \"$2\" || exit 126\n"
        "disk=$2 copy=$4 pid=$5; shift 5\n"
        // An asynchronous command's standard input is /dev/null unless redirected.
        "exec 3<&0; \"$@\" <&3 3<&- & echo $! >\"$pid.new\"; mv \"$pid.new\" \"$pid\"\n"
        "wait $!\n"
        "status=$?\n"
        "cp -a \"$disk\"/. \"$copy\" || exit 126\n"
        "exit $status\n";
    std::vector<std::string> argv{"unshare", "-m", "sh", "-c", script, "sh", size, disk,
                                  seed,      copy, pidFile};
    argv.insert(argv.end(), command.begin(), command.end());
    child = std::make_unique<Child>(argv);
  }

  std::string inside(const std::string& name) const {
    return "/proc/" + std::to_string(child->pid()) + "/root" + disk + "/" + name;
  }

  pid_t writerPid() const { return std::stoi(readFile(pidFile)); }

  bool printed(const std::string& text) const {
    return eventually([&] { return child->stderrText().find(text) != std::string::npos; }, kEnds);
  }
};

std::string removedToMakeRoom(const std::string& path) {
  return "No space left on device: removed " + quoted(path) + " to make room\n";
}

std::string partialName(int n) { return "." + gzName(n) + ".tmp"; }

const std::string kPaused = "No space left on device: writing paused, retrying every second\n";

// Three archives of an earlier run and someone else's file fill all but
// some 300 KB of a 1 MiB tmpfs, and the input needs about 700 KB: the
// archives go, oldest first, then the writer pauses. Either room returns
// (the other file is removed) and everything is stored, or a TERM ends the
// pause: what the writer held and could not store is counted.
TEST(FaultFullDisk, RoomIsMadeFromOldArchivesThenTheWriterPauses) {
  const std::string why = whyNoTmpfs();
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string input = requests("item", 6000);
  for (bool roomReturns : {true, false}) {
    SCOPED_TRACE(roomReturns ? "room returns" : "TERM during the pause");
    TmpfsRun run;
    for (int n = 1; n <= 3; ++n) writeFile(run.seed + "/" + gzName(n), randomBytes(64 << 10, n));
    writeFile(run.seed + "/ballast", randomBytes(512 << 10, 4));
    run.start("1m", writer({run.disk, "10", "100000000"}));
    ASSERT_TRUE(eventually([&] { return exists(run.pidFile) && exists(run.inside(logName(4))); },
                           kEnds))
        << run.child->stderrText();
    run.child->write(input);  // the pipe holds it all
    ASSERT_TRUE(run.printed(kPaused)) << run.child->stderrText() << input.size();
    std::string expected;
    for (int n = 1; n <= 3; ++n) expected += removedToMakeRoom(run.disk + "/" + gzName(n));
    expected += kPaused;
    size_t unread = 0;
    if (roomReturns) {
      ASSERT_EQ(unlink(run.inside("ballast").c_str()), 0);
      ASSERT_TRUE(run.printed("Writing resumed after "));
      run.child->closeInput();
      EXPECT_EQ(run.child->wait(kEnds), 0);
    } else {
      kill(run.writerPid(), SIGTERM);
      EXPECT_EQ(run.child->wait(kEnds), 1);
      unread = run.child->unreadInput();
    }
    const std::string body = readLog(run.copy + "/" + logName(4)).body();
    if (roomReturns) {
      EXPECT_EQ(body, input);
      const std::string err = run.child->stderrText();
      const std::string resumed = err.substr(std::min(err.size(), expected.size()));
      EXPECT_TRUE(std::regex_match(resumed, std::regex("Writing resumed after [1-9][0-9]* s\n")))
          << resumed;
      expected += resumed;
    } else {
      EXPECT_EQ(body, input.substr(0, body.size())) << "a prefix of the input";
      EXPECT_EQ(body.back(), '\n') << "whole records";
      expected += "No space left on device: could not store " +
                  std::to_string(input.size() - body.size() - unread) + " bytes\n";
    }
    EXPECT_EQ(run.child->stderrText(), expected);
    std::vector<std::string> left{logName(4), "zarvo-access.log"};
    if (!roomReturns) left.insert(left.begin(), "ballast");
    EXPECT_EQ(listDir(run.copy), left);
  }
}

// The archive thread's syncs take five seconds each when a write finds the
// disk full, so the writer waits for it to catch up: a TERM then ends the
// writer within a second, and nothing is removed to make room after it.
TEST(FaultFullDisk, ATermWhileWaitingForTheArchiveThreadEndsAtOnce) {
  if (const std::string why = whyNoTmpfs(); !why.empty()) GTEST_SKIP() << why;
  if (const std::string why = whyNoStrace(); !why.empty()) GTEST_SKIP() << why;
  TmpfsRun run;
  writeFile(run.seed + "/ballast", randomBytes(700 << 10, 4));
  run.start("1m", traced(run.work / "trace", {"-e", "trace=fsync", "-e",
                                              "inject=fsync:delay_enter=5000000"},
                         writer({run.disk, "10", "50000"})));
  pid_t writerPid = 0;
  ASSERT_TRUE(eventually([&] {
    if (!exists(run.pidFile)) return false;
    const std::string strace = std::to_string(run.writerPid());
    std::istringstream children(readFile("/proc/" + strace + "/task/" + strace + "/children"));
    return static_cast<bool>(children >> writerPid) && exists(run.inside(logName(1)));
  }, kEnds));
  // File 1 is finished and its archive written: the archive thread is in
  // the sync. Then the disk fills, within moments.
  run.child->write(requests("first", 500));
  ASSERT_TRUE(eventually([&] { return exists(run.inside(partialName(1))); }, kEnds));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run.child->write(requests("item", 6000));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  kill(writerPid, SIGTERM);
  EXPECT_TRUE(eventually([&] {
    const std::string stat = "/proc/" + std::to_string(writerPid) + "/stat";
    return !exists(stat) || readFile(stat).find(") Z ") != std::string::npos;
  }, 1.0)) << "still running a second after the TERM";
  EXPECT_EQ(run.child->wait(kEnds), 1);
  // strace may say something of its own about the process it lost.
  const std::string err = std::regex_replace(run.child->stderrText(), std::regex("strace: .*\n"), "");
  EXPECT_TRUE(std::regex_match(err, std::regex("No space left on device: could not store [1-9][0-9]* bytes\n")))
      << err;
  const LogDirectory left = listLogDirectory(run.copy);
  EXPECT_GE(left.highest(), 2u) << ::testing::PrintToString(listDir(run.copy));
  for (uint64_t n = 1; n <= left.highest(); ++n)
    EXPECT_TRUE(left.files.count(n) && left.files.at(n).log) << logName(n) << " was removed";
}

TEST(FaultFullDisk, NoInodeForTheNextFileEndsWithTheOpenMessage) {
  const std::string why = whyNoTmpfs();
  if (!why.empty()) GTEST_SKIP() << why;
  // The root directory takes one inode; with two the first file fits but no
  // link and no second file do; with three the link does too, and must
  // still name the first file after the second failed.
  struct Case {
    int inodes, failingFile;
    std::string firstFileBody;
  } cases[] = {{1, 1, ""}, {2, 2, requests("item", 1)}, {3, 2, requests("item", 1)}};
  for (const Case& c : cases) {
    SCOPED_TRACE("nr_inodes=" + std::to_string(c.inodes));
    TempDir work;
    writeFile(work / "input", requests("item", 50));
    mkdir((work / "disk").c_str(), 0755);
    mkdir((work / "copy").c_str(), 0755);
    // mode=0755: a tmpfs is open to all by default, which would be said first.
    RunResult r = runOnTmpfs("mode=0755,size=1m,nr_inodes=" + std::to_string(c.inodes),
                             work / "disk", "100", work / "input", work / "copy");
    if (r.status == kMountRefused) GTEST_SKIP() << "mount refused: " << r.err;
    EXPECT_EQ(r.status, 1);
    const std::string disk = work / "disk";
    // The archive thread may fail on the finished file too, if it gets there first.
    // (Its temporary is what finds no inode.)
    const std::string archiveLine = "Cannot compress file: `" + disk + "/" + partialName(1) +
                                    "`: No space left on device\n";
    EXPECT_EQ(withoutLine(r.err, archiveLine),
              openFailed(disk + "/" + logName(c.failingFile), "No space left on device"));
    if (c.failingFile > 1) {
      EXPECT_EQ(readLog(work / "copy/" + logName(1)).body(), c.firstFileBody);
    }
    if (c.inodes == 3) {
      EXPECT_EQ(readLink(work / "copy/zarvo-access.log"), disk + "/" + logName(1));
    }
    EXPECT_FALSE(exists(work / "copy/" + logName(c.failingFile)));
  }
}

// An earlier run's file of random hex digits (its archive is half its size)
// and someone else's file leave too little room for that archive. Its
// temporary goes and the ".log" stays; once the other file is removed and
// the disk has room for the whole file, the archive is made after all,
// without a restart. Input that comes while the temporary fills the disk
// (its removal is held back a second) meets the full disk: the writer
// waits for the failed archive to clear away and goes on without a word.
TEST(FaultFullDisk, AnArchiveThatDoesNotFitIsRemovedAndMadeOnceRoomReturns) {
  const std::string why = whyNoTmpfs().empty() ? whyNoStrace() : whyNoTmpfs();
  if (!why.empty()) GTEST_SKIP() << why;
  std::string earlier(4 << 20, '\0');
  uint64_t x = 1;
  for (char& c : earlier) c = "0123456789abcdef"[(x = x * 6364136223846793005ULL + 1) >> 60];
  TmpfsRun run;
  writeFile(run.seed + "/" + logName(1), earlier);
  writeFile(run.seed + "/ballast", std::string(4608 << 10, 'b'));
  run.start("9m", traced(run.work / "trace",
                         {"-e", "trace=unlink,unlinkat", "-e",
                          "inject=unlink,unlinkat:delay_enter=1000000", "-P",
                          run.disk + "/" + partialName(1)},
                         writer({run.disk, "10", "100000000"})));
  ASSERT_TRUE(eventually([&] {
    struct statvfs disk;
    return statvfs(run.inside("").c_str(), &disk) == 0 && disk.f_bavail == 0;
  }, kEnds)) << "the archive never filled the disk";
  const std::string input = requests("item", 2000);
  run.child->write(input);
  const std::string failed =
      "Cannot compress file: `" + run.disk + "/" + logName(1) + "`: No space left on device\n";
  ASSERT_TRUE(run.printed(failed));
  // The message comes just after the temporary is removed.
  EXPECT_FALSE(exists(run.inside(partialName(1))));
  EXPECT_TRUE(exists(run.inside(logName(1))));
  EXPECT_FALSE(exists(run.inside(gzName(1))));
  ASSERT_EQ(unlink(run.inside("ballast").c_str()), 0);
  EXPECT_TRUE(eventually([&] { return !exists(run.inside(logName(1))); }, kEnds * 3))
      << "never archived";
  run.child->closeInput();
  EXPECT_EQ(run.child->wait(kEnds), 0);
  EXPECT_EQ(run.child->stderrText(), failed);
  EXPECT_EQ(listDir(run.copy), (std::vector<std::string>{gzName(1), logName(2), "zarvo-access.log"}));
  EXPECT_EQ(gunzipFile(run.copy + "/" + gzName(1)), earlier);
  EXPECT_EQ(readLog(run.copy + "/" + logName(2)).body(), input);
}

// --- standard input -----------------------------------------------------
// (Failing closes, writes and reads under strace are rows of the fault matrix.)

TEST(FaultStdin, ADirectoryForInputIsAReadError) {
  TempDir dir, input;
  RunResult r = run(stdinFrom(input.path().string(), writer({dir.path().string(), "3", "100"})),
                    "", kEnds);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot read line from stdin: Is a directory\n");
  EXPECT_EQ(readLog(dir / logName(1)).body(), "");
}

// --- the next file's path taken ----------------------------------------

// A UNIX socket bound at path; false when it cannot be made.
bool bindSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return bound;
}

TEST(FaultPlantedLink, AnEntryAtTheNextNameIsPassedByUntouched) {
  const auto link = [](std::function<std::string(const TempDir&, const TempDir&)> target) {
    return [target](const TempDir& dir, const TempDir& other, const std::string& path) {
      return symlink(target(dir, other).c_str(), path.c_str()) == 0;
    };
  };
  struct Case {
    std::string what;
    std::function<bool(const TempDir& dir, const TempDir& other, const std::string& path)> plant;
  } cases[] = {
      {"a file elsewhere", link([](const TempDir&, const TempDir& other) { return other / "victim"; })},
      {"a missing file", link([](const TempDir&, const TempDir& other) { return other / "absent"; })},
      {"a directory",
       link([](const TempDir&, const TempDir& other) { return other / "victim-dir"; })},
      {"the file being written",
       link([](const TempDir& dir, const TempDir&) { return dir / logName(1); })},
      // An open that waited for a reader would hold the writer for good.
      {"a FIFO", [](const TempDir&, const TempDir&, const std::string& path) {
         return mkfifo(path.c_str(), 0644) == 0;
       }},
      {"a directory itself", [](const TempDir&, const TempDir&, const std::string& path) {
         return mkdir(path.c_str(), 0755) == 0;
       }},
      {"a socket", [](const TempDir&, const TempDir&, const std::string& path) {
         return bindSocket(path);
       }},
      // Adopted, its planter could read and change every record.
      {"a regular file open to all", [](const TempDir&, const TempDir&, const std::string& path) {
         writeFile(path, "planted\n");
         return chmod(path.c_str(), 0666) == 0;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir, other;
    writeFile(other / "victim", "precious bytes\n");
    mkdir((other / "victim-dir").c_str(), 0755);
    Child child(writer({dir.path().string(), "3", "100000000"}));
    child.write("a\n");
    ASSERT_TRUE(fileHoldsWithin(dir / logName(1), "a\n"));
    ASSERT_TRUE(c.plant(dir, other, dir / logName(2)));
    const std::string planted = entryState(dir / logName(2));
    const std::string victim = entryState(other / "victim");
    child.signal(SIGALRM);  // rotates now: the file holds a record
    EXPECT_TRUE(eventually([&] { return readLink(dir / "zarvo-access.log") == dir / logName(3); },
                           kEnds)) << "no rotation past the planted entry";
    child.write("b\n");
    child.closeInput();
    EXPECT_EQ(child.wait(kEnds), 0);
    EXPECT_EQ(child.stderrText(),
              "Skipped: `" + quoted(dir / logName(2)) + "`: File exists\n");
    EXPECT_EQ(entryState(dir / logName(2)), planted) << "the planted entry was touched";
    EXPECT_EQ(entryState(other / "victim"), victim);
    EXPECT_FALSE(exists(other / "absent"));
    EXPECT_TRUE(listDir(other / "victim-dir").empty());
    EXPECT_EQ(parseLog(storedFile(dir.path().string(), 1)).body(), "a\n");
    EXPECT_EQ(exists(dir / logName(3)) ? readLog(dir / logName(3)).body() : "absent", "b\n");
  }
}

// --- permissions --------------------------------------------------------

TEST(FaultPermission, ADirectoryMadeReadOnlyMidRunStopsAtTheNextFile) {
  const std::string why = whyNoUnprivileged();
  if (!why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string logs = dir / "logs";
  mkdir(logs.c_str(), 0755);
  ASSERT_EQ(chown(logs.c_str(), 65534, 65534), 0);
  Child child(unprivileged(writer({logs, "3", "100000000"})));
  child.write("a\n");
  ASSERT_TRUE(fileHoldsWithin(logs + "/" + logName(1), "a\n"));
  ASSERT_EQ(chmod(logs.c_str(), 0555), 0);
  child.signal(SIGALRM);
  EXPECT_EQ(child.wait(kEnds), 1);
  // The link is not touched for a file that was never opened; the archive
  // thread may not get to report its own failure (no temporary can be
  // made) before the process ends.
  const std::string archiveLine =
      "Cannot compress file: `" + logs + "/." + gzName(1) + ".tmp`: Permission denied\n";
  EXPECT_EQ(withoutLine(child.stderrText(), archiveLine),
            openFailed(logs + "/" + logName(2), "Permission denied"));
  EXPECT_EQ(readLink(logs + "/zarvo-access.log"), logs + "/" + logName(1));
  EXPECT_EQ(readLog(logs + "/" + logName(1)).body(), "a\n");
  EXPECT_FALSE(exists(logs + "/" + logName(2)));
}

}  // namespace
}  // namespace zarvo::test

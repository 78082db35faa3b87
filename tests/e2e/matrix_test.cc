// The fault matrix: each row names a fault, how it is provoked, the exit
// status and last stderr line expected of the run it hits, and the promises
// the shared oracle must find kept in the directory afterwards. One runner
// walks every row; the groups below differ only in their tables.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <random>
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
#include "tests/support/oracle.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace zarvo::test {
namespace {

// Every run that must end does so within this many seconds.
constexpr double kEnds = 10;
constexpr int kKilled = 128 + SIGKILL;
// Expected status of a run that may go either way but never dies by a signal.
constexpr int kZeroOrOne = -1;
constexpr int kMaxSteps = 400;
const std::string kNoRotation = "100000000";
const std::string kLink = kLinkName;

// Where archive n is written until it is whole.
std::string partialName(int n) { return "." + gzName(n) + ".tmp"; }

// DIRECTORY, and beside it a tree that no run may touch; trace logs and
// notes go to scratch, outside what the oracle watches.
struct Scene {
  explicit Scene(uint32_t maxFileNum);

  TempDir top, scratch;
  std::string dir;
  uint32_t maxFileNum;
  Oracle oracle;
};

std::string prepare(const TempDir& top) {
  mkdir((top / "logs").c_str(), 0755);
  mkdir((top / "victim").c_str(), 0755);
  writeFile(top / "victim/precious", "precious bytes\n");
  symlink((top / "logs").c_str(), (top / "via").c_str());
  return top / "logs";
}

Scene::Scene(uint32_t n) : dir(prepare(top)), maxFileNum(n), oracle(dir, n, top.path().string()) {}

struct Outcome {
  int status = -1;     // of the run the fault hit
  std::string err;     // that run's standard error
  std::string input;   // what DIRECTORY should hold, oldest first
  size_t settled = 0;  // bytes of input that earlier runs had stored
  bool again = false;  // this step met its fault; the runner takes the next
  // This step missed the moment it aims at (a slow machine): the runner
  // takes the next, which waits longer, without checking this one.
  bool missed = false;
  std::string replay = "";  // shown with every failure of the step, e.g. a random seed
};

struct Row {
  std::string name;
  std::string how;  // the fault and how it is provoked
  uint32_t maxFileNum;
  std::function<Outcome(Scene&, int step)> provoke;
  int status;
  std::optional<std::string> lastLine;  // "" for no output at all; none: not checked
  unsigned promises;
  unsigned onCleanExit = 0;           // further promises when the run exits 0
  std::string (*missing)() = nullptr;  // why this machine cannot run the row
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// {dir} and {top} in a row's text, filled in for one scene.
std::string expand(std::string text, const Scene& scene) {
  auto fill = [&text](const std::string& key, const std::string& value) {
    for (size_t at; (at = text.find(key)) != std::string::npos;)
      text.replace(at, key.size(), value);
  };
  fill("{dir}", scene.dir);
  fill("{top}", scene.top.path().string());
  return text;
}

std::string lastLine(const std::string& err) {
  std::string line;
  std::istringstream in(err);
  for (std::string l; std::getline(in, l);) line = l;
  return line;
}

void walk(const Row& row) {
  SCOPED_TRACE(row.how);
  if (row.missing != nullptr) {
    const std::string why = row.missing();
    if (!why.empty()) GTEST_SKIP() << why;
  }
  for (int step = 1; step <= kMaxSteps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    Scene scene(row.maxFileNum);
    const Outcome out = row.provoke(scene, step);
    SCOPED_TRACE(out.replay);
    if (out.missed && !::testing::Test::HasFailure()) continue;
    if (row.status == kZeroOrOne) {
      EXPECT_TRUE(out.status == 0 || out.status == 1) << "status " << out.status;
    } else {
      EXPECT_EQ(out.status, row.status);
    }
    // Whether a storm put the archive thread behind is no row's concern.
    const std::string err = withoutLevelLine(out.err);
    if (row.lastLine && row.lastLine->empty()) {
      EXPECT_EQ(err, "");
    } else if (row.lastLine) {
      EXPECT_EQ(lastLine(err), expand(*row.lastLine, scene)) << err;
    }
    const unsigned promises = row.promises | (out.status == 0 ? row.onCleanExit : 0);
    EXPECT_EQ(scene.oracle.check(promises, out.input, out.settled).failures, "");
    if (!out.again || ::testing::Test::HasFailure()) return;
  }
  ADD_FAILURE() << "the fault was still met after " << kMaxSteps << " steps";
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

// --- shared provoking steps ------------------------------------------------

// The arguments of process `pid`, NUL-separated; empty once it is gone.
std::string commandLine(pid_t pid) {
  try {
    return readFile("/proc/" + std::to_string(pid) + "/cmdline");
  } catch (const std::exception&) {
    return "";
  }
}

bool isWriter(pid_t pid) {
  const std::string head = std::string(ZARVO_WRITER_PATH) + '\0';
  return commandLine(pid).compare(0, head.size(), head) == 0;
}

// The writer that strace started as its child, or -1. strace forks probes
// of its own first, so the child is known by its command line.
pid_t tracedWriter(pid_t strace) {
  pid_t found = -1;
  eventually(
      [&] {
        for (const std::string& name : listDir("/proc")) {
          if (!std::isdigit(static_cast<unsigned char>(name[0]))) continue;
          std::string stat;
          try {
            stat = readFile("/proc/" + name + "/stat");
          } catch (const std::exception&) {
            continue;  // gone meanwhile
          }
          // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
          std::istringstream rest(stat.substr(stat.rfind(')') + 1));
          char state;
          pid_t ppid = 0;
          rest >> state >> ppid;
          if (ppid == strace && isWriter(std::stoi(name))) found = std::stoi(name);
          if (found > 0) return true;
        }
        return false;
      },
      kEnds);
  return found;
}

// A writer left running when strace is killed after a failure would hold
// the directory's lock; this ends it.
struct EndsWithTheTest {
  pid_t pid;
  ~EndsWithTheTest() {
    if (pid > 0 && isWriter(pid)) kill(pid, SIGKILL);
  }
};

// The archive thread has caught up on a file numbered above `after`, and
// no archive waits for retirement.
bool caughtUp(const std::string& dir, uint32_t maxFileNum, uint64_t after = 0) {
  const LogDirectory state = listLogDirectory(dir);
  size_t archives = 0;
  for (const auto& [number, file] : state.files) archives += file.archive ? 1 : 0;
  return state.caughtUpAt(dir) > after && archives <= (maxFileNum >= 2 ? maxFileNum - 1 : 1u);
}

// A second run on what the faulty one left, its input held open until the
// archive queue has drained; it must end cleanly and silently.
Outcome recover(Scene& scene, Outcome out) {
  const std::string before = scene.oracle.stored();
  const uint64_t highest = listLogDirectory(scene.dir).highest();
  const std::string more = requests("after recovery", 20);
  Child recovery(writer({scene.dir, std::to_string(scene.maxFileNum), kNoRotation}));
  recovery.write(more);
  EXPECT_TRUE(eventually([&] { return caughtUp(scene.dir, scene.maxFileNum, highest); }, kEnds))
      << "the recovery run never caught up: " << ::testing::PrintToString(listDir(scene.dir));
  recovery.closeInput();
  EXPECT_EQ(recovery.wait(kEnds), 0) << "recovery run";
  EXPECT_EQ(recovery.stderrText(), "") << "recovery run";
  for (const std::string& name : listDir(scene.dir))
    EXPECT_NE(name[0], '.') << "a temporary survived the recovery run: " << name;
  out.input = before + more;
  out.settled = before.size();
  return out;
}

// --- kill -9 at exact points ------------------------------------------------

struct KillPoint {
  std::string syscalls;  // the calls to count, e.g. "unlink,unlinkat"
  std::string file;      // the path they act on, under DIRECTORY; "" for itself
  int when;              // the call that is killed on entry
  int rotations;         // input parts, each rotated out by SIGALRM once stored
  std::vector<std::string> left;  // what the kill leaves; "!name": absent
};

// strace kills the writer on entry to the chosen call (before it takes
// effect), after each part of the input was on disk: the input is quiet.
Outcome killAt(const KillPoint& point, Scene& scene) {
  const std::string path = point.file.empty() ? scene.dir : scene.dir + "/" + point.file;
  const std::string inject = point.syscalls + ":signal=SIGKILL:when=" + std::to_string(point.when);
  Child traced(zarvo::test::traced(
      scene.scratch / "trace",
      {"-e", "trace=" + point.syscalls, "-e", "inject=" + inject, "-P", path},
      writer({scene.dir, std::to_string(scene.maxFileNum), kNoRotation})));
  const EndsWithTheTest writerPid{tracedWriter(traced.pid())};
  if (writerPid.pid <= 0) {
    ADD_FAILURE() << "strace did not start the writer";
    return {};
  }
  std::string fed;
  for (int part = 1; part <= point.rotations; ++part) {
    const std::string lines = requests("part " + std::to_string(part), 1500);
    traced.write(lines);
    fed += lines;
    EXPECT_TRUE(eventually([&] { return scene.oracle.stored() == fed; }, kEnds)) << "part " << part;
    kill(writerPid.pid, SIGALRM);
    const std::string next = scene.dir + "/" + logName(part + 1);
    if (part < point.rotations) {
      EXPECT_TRUE(eventually([&] { return readLink(scene.dir + "/" + kLink) == next; }, kEnds));
      EXPECT_TRUE(eventually([&] { return caughtUp(scene.dir, scene.maxFileNum); }, kEnds));
    }
  }
  Outcome out{traced.wait(kEnds), traced.stderrText(), fed};
  for (const std::string& name : point.left) {
    const bool absent = name[0] == '!';
    EXPECT_NE(exists(scene.dir + "/" + name.substr(absent ? 1 : 0)), absent)
        << "after the kill: " << name << " in " << ::testing::PrintToString(listDir(scene.dir));
  }
  EXPECT_EQ(scene.oracle.check(kAllOfInput, fed).failures, "") << "right after the kill";
  return recover(scene, out);
}

Row killRow(std::string name, std::string how, uint32_t maxFileNum, KillPoint point) {
  return {std::move(name), std::move(how), maxFileNum,
          [point](Scene& scene, int) { return killAt(point, scene); }, kKilled, "",
          kAllOfInput | kRecovered | kNewestArchivesKept | kWholeRecords | kOutsideUntouched, 0,
          whyNoStrace};
}

// 50 kills at random moments of a busy run, each next run recovering the
// last; every kill must leave an exact prefix of what was fed.
Outcome killRepeatedly(Scene& scene) {
  const char* given = std::getenv("ZARVO_MATRIX_SEED");
  const unsigned seed = given != nullptr ? std::stoul(given) : std::random_device{}();
  const std::string replay = "seed " + std::to_string(seed) + " (ZARVO_MATRIX_SEED replays it)";
  SCOPED_TRACE(replay);
  std::mt19937 random(seed);
  std::string before, err;
  int status = kKilled;
  for (int round = 1; round <= 50; ++round) {
    Child busy(writer({scene.dir, std::to_string(scene.maxFileNum), "4000"}));
    std::string fed;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(random() % 25);
    for (int burst = 0; burst == 0 || std::chrono::steady_clock::now() < until; ++burst) {
      const std::string tag = "run " + std::to_string(round) + " burst " + std::to_string(burst);
      const std::string lines = requests(tag, 1 + random() % 30);
      if (!busy.write(lines)) break;
      fed += lines;
      // Keeps each run to a few dozen small files.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    busy.signal(SIGKILL);
    const int ended = busy.wait(kEnds);
    if (ended != kKilled && status == kKilled) status = ended;
    err += busy.stderrText();
    const Verdict verdict = scene.oracle.check(kPrefixOfInput, before + fed, before.size());
    EXPECT_EQ(verdict.failures, "") << "after kill " << round;
    if (!verdict.failures.empty()) break;
    before = verdict.stored;
  }
  Outcome out{status, err, before};
  out.replay = replay;
  return recover(scene, out);
}

const std::vector<Row> kKillRows = {
    killRow("MidArchiveWrite", "kill -9 at the second write of the first archive", 3,
            {"write", partialName(1), 2, 1, {logName(1), partialName(1), "!" + gzName(1)}}),
    killRow("BeforeArchiveSync", "kill -9 at the fsync of the first archive", 3,
            {"fsync", partialName(1), 1, 1, {logName(1), partialName(1), "!" + gzName(1)}}),
    killRow("BeforeArchiveRename", "kill -9 at the rename that names the first archive", 3,
            {"rename,renameat,renameat2", partialName(1), 1, 1,
             {logName(1), partialName(1), "!" + gzName(1)}}),
    killRow("BeforeDirectorySync", "kill -9 at the fsync of DIRECTORY after the first archive", 3,
            {"fsync", "", 1, 1, {logName(1), gzName(1)}}),
    killRow("BeforeLogUnlink", "kill -9 at the unlink of the first archived .log", 3,
            {"unlink,unlinkat", logName(1), 1, 1, {logName(1), gzName(1)}}),
    killRow("AtTheRenameOfTheLink",
            "kill -9 at the rename that puts the new link over the old one at the first rotation",
            3, {"rename,renameat,renameat2", "." + kLink + ".tmp", 2, 1,
                {kLink, "." + kLink + ".tmp", logName(2)}}),
    killRow("AtTheNextFileCreation", "kill -9 at the open that creates the next file", 3,
            {"open,openat", logName(2), 1, 1, {"!" + logName(2)}}),
    killRow("AtTheNextFileHeader", "kill -9 at the write of the next file's header", 3,
            {"write", logName(2), 1, 1, {logName(2)}}),
    killRow("AtARetentionDelete",
            "kill -9 at the unlink that retires the oldest archive at the next rotation", 2,
            {"unlink,unlinkat", gzName(1), 1, 2, {gzName(1), logName(2), "!" + gzName(2)}}),
    {"FiftyRandomKillsUnderLoad",
     "kill -9 fifty times at random moments of a busy run, MAXFILESIZE 4000", 4,
     [](Scene& scene, int) { return killRepeatedly(scene); }, kKilled, "",
     kAllOfInput | kRecovered | kNewestArchivesKept | kOutsideUntouched},
};

class MatrixKill : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixKill, ARecoveryRunKeepsEverythingStored) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixKill, ::testing::ValuesIn(kKillRows), rowName);

// --- stop signals under heavy input ----------------------------------------

// Feeds the writer through a pipe we also read from, as fast as it takes
// the input, and stops it with `sig` once it has rotated twice, while the
// feeder still feeds. Whatever the writer did not read is still in the pipe,
// so what it read is known exactly.
Outcome stopUnderLoad(Scene& scene, int sig) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  fcntl(fds[0], F_SETFD, 0);  // the writer inherits the read end only
  Child stopped({"bash", "-c", "exec \"$0\" \"$@\" <&" + std::to_string(fds[0]), ZARVO_WRITER_PATH,
                scene.dir, std::to_string(scene.maxFileNum), "200000"});
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  // Only a test thread stalled for seconds lets the feeder reach this.
  constexpr size_t kCap = 256u << 20;
  std::atomic<bool> stop{false};
  std::string fed;
  std::thread feeder([&] {
    std::string pending;
    for (int block = 0; !stop && fed.size() < kCap;) {
      if (pending.empty()) pending = requests("load " + std::to_string(block++), 2000);
      const ssize_t n = ::write(fds[1], pending.data(), pending.size());
      if (n > 0) {
        fed.append(pending, 0, static_cast<size_t>(n));
        pending.erase(0, static_cast<size_t>(n));
      } else {
        pollfd out{fds[1], POLLOUT, 0};
        poll(&out, 1, 10);
      }
    }
  });
  // Files 1 and 2 are finished once there is a higher number, whether
  // archived, retired or still a ".log".
  EXPECT_TRUE(eventually([&] {
    return listLogDirectory(scene.dir).highest() >= 3;
  }, kEnds)) << "no second rotation";
  const unsigned pause = std::random_device{}() % 50;
  const std::string replay = "signal " + std::to_string(pause) + " ms after the second rotation";
  SCOPED_TRACE(replay);
  std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  stopped.signal(sig);
  const bool feeding = fed.size() < kCap;
  EXPECT_TRUE(stopped.endsWithin(1)) << strsignal(sig) << " under load";
  stop = true;
  feeder.join();
  EXPECT_TRUE(feeding) << "the feeder had stopped before the signal";
  const int status = stopped.wait(kEnds);
  std::string unread;
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  char buffer[65536];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) unread.append(buffer, n);
  close(fds[0]);
  close(fds[1]);
  // The records end where the pipe's bytes begin: nothing read was dropped.
  // (Retention may have retired the oldest files.)
  const std::string tail = scene.oracle.stored() + unread;
  EXPECT_TRUE(tail.size() <= fed.size() &&
              fed.compare(fed.size() - tail.size(), tail.size(), tail) == 0)
      << "fed " << fed.size() << " bytes, stored and unread " << tail.size();
  Outcome out{status, stopped.stderrText(), fed.substr(0, fed.size() - unread.size())};
  out.replay = replay;
  return out;
}

// 65536 empty lines wait in the pipe, all taken by one read: with
// MAXFILESIZE 0 each is a rotation of its own, seconds of them.
Outcome stopInARotationStorm(Scene& scene) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  const std::string input(65536, '\n');
  if (::write(fds[1], input.data(), input.size()) != 65536) throw std::runtime_error("write");
  fcntl(fds[0], F_SETFD, 0);
  Child stopped({"bash", "-c", "exec \"$0\" \"$@\" <&" + std::to_string(fds[0]), ZARVO_WRITER_PATH,
                 scene.dir, std::to_string(scene.maxFileNum), "0"});
  close(fds[0]);
  EXPECT_TRUE(eventually([&] { return listLogDirectory(scene.dir).files.size() >= 3; }, kEnds));
  stopped.signal(SIGTERM);
  EXPECT_TRUE(stopped.endsWithin(1)) << "a stop held back by rotations";
  close(fds[1]);
  return {stopped.wait(kEnds), stopped.stderrText(), input};
}

// strace sends `sig` at the writer's first fcntl, early in main, as a
// reload or a stop right after a start would: the signal waits for the
// record loop instead of killing the writer. A stop then comes before the
// first read; a rotation has nothing to rotate.
Outcome signalAtTheStart(Scene& scene, int sig) {
  Child child({"strace", "-f", "-qq", "-o", scene.scratch / "trace", "-e", "trace=fcntl", "-e",
               "inject=fcntl:signal=" + std::to_string(sig) + ":when=1", ZARVO_WRITER_PATH,
               scene.dir, std::to_string(scene.maxFileNum), kNoRotation});
  const std::string input = requests("early", 3);
  child.write(input);
  child.closeInput();
  return {child.wait(kEnds), child.stderrText(), sig == SIGTERM ? "" : input};
}

Row startRow(std::string name, int sig) {
  return {std::move(name), std::string(strsignal(sig)) + " at the first fcntl of the writer", 3,
          [sig](Scene& scene, int) { return signalAtTheStart(scene, sig); }, 0, "",
          kAllOfInput | kWholeRecords | kOutsideUntouched, 0, whyNoStrace};
}

Row stopRow(std::string name, int sig) {
  return {std::move(name), std::string(strsignal(sig)) + " under heavy input with rotations", 100,
          [sig](Scene& scene, int) { return stopUnderLoad(scene, sig); }, 0, "",
          kAllOfInput | kWholeRecords | kOutsideUntouched};
}

const std::vector<Row> kStopRows = {
    stopRow("Term", SIGTERM), stopRow("Int", SIGINT), stopRow("Hup", SIGHUP),
    {"TermInARotationStorm", "Terminated with a read of 65536 records, MAXFILESIZE 0", 100,
     [](Scene& scene, int) { return stopInARotationStorm(scene); }, 0, "",
     kAllOfInput | kWholeRecords | kTimeInOrder | kOutsideUntouched},
    startRow("TermAtTheStart", SIGTERM), startRow("AlrmAtTheStart", SIGALRM),
    startRow("Usr1AtTheStart", SIGUSR1),
};

class MatrixStop : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixStop, EndsAtOnceWithEverythingReadStored) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixStop, ::testing::ValuesIn(kStopRows), rowName);

// --- standard error that cannot be written ----------------------------------

enum class Stderr { kFull, kClosed, kBrokenPipe };
enum class Run { kUsageError, kMissingDirectory, kCleanWithAMessage };

// What a traced process wrote to descriptor 2, from strace's record of its
// write calls (made with -s large enough for a whole line), failed or not.
// The writer prints each line with one write; only writes that end a line
// count, since a sanitizer runtime may write other bytes there.
std::string writtenToStderr(const std::string& trace) {
  std::string text;
  std::istringstream lines(readFile(trace));
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find("write(2, \"");
    if (at == std::string::npos) continue;
    std::string written;
    for (size_t i = at + 10; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] != '\\') {
        written += line[i];
      } else if (line[++i] == 'n') {
        written += '\n';
      } else if (line[i] == 't') {
        written += '\t';
      } else if (std::isdigit(static_cast<unsigned char>(line[i]))) {
        written += static_cast<char>(std::stoi(line.substr(i, 3), nullptr, 8));
        i += 2;
      } else {
        written += line[i];
      }
    }
    if (!written.empty() && written.back() == '\n') text += written;
  }
  return text;
}

// A broken pipe is one whose read end is closed before the writer starts.
// The writer runs under strace, whose record shows what it printed where
// nobody can read it.
Outcome withStderr(Scene& scene, Stderr kind, Run what) {
  int fds[2] = {-1, -1};
  std::string redirect = kind == Stderr::kFull ? "2>/dev/full" : "2>&-";
  if (kind == Stderr::kBrokenPipe) {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    close(fds[0]);
    fcntl(fds[1], F_SETFD, 0);
    redirect = "2>&" + std::to_string(fds[1]);
  }
  const std::string trace = scene.scratch / "trace";
  std::vector<std::string> argv{"bash", "-c", "exec \"$0\" \"$@\" " + redirect, ZARVO_WRITER_PATH};
  if (what == Run::kMissingDirectory) argv.push_back(scene.dir + "/missing");
  if (what == Run::kCleanWithAMessage) {
    argv.push_back(scene.dir);
    // The link cannot replace a directory: a message, and the run goes on.
    mkdir((scene.dir + "/" + kLink).c_str(), 0755);
    scene.oracle.snapshot();
  }
  if (what != Run::kUsageError) argv.insert(argv.end(), {"3", kNoRotation});
  const std::string input = requests("stderr", 30);
  RunResult r =
      run(traced(trace, {"-s", "4096", "-e", "trace=write", "-e", "signal=none"}, argv), input, kEnds);
  if (fds[1] >= 0) close(fds[1]);
  EXPECT_EQ(r.err, "") << "nothing reaches the test's own stderr";
  return {r.status, writtenToStderr(trace), input};
}

Row stderrRow(std::string name, std::string how, Stderr kind, Run what) {
  const bool clean = what == Run::kCleanWithAMessage;
  const std::string printed =
      what == Run::kUsageError ? "Usage: zarvo-accesslogwriter DIRECTORY MAXFILENUM MAXFILESIZE"
      : what == Run::kMissingDirectory
          ? "Directory `\"{dir}/missing\"` does not exist."
          : "Cannot create symbolic link `{dir}/zarvo-access.log` -> `{dir}/zarvo-access-1.log`: "
            "Is a directory";
  return {std::move(name), std::move(how), 3,
          [kind, what](Scene& scene, int) { return withStderr(scene, kind, what); }, clean ? 0 : 1,
          printed, clean ? kAllOfInput | kWholeRecords | kOutsideUntouched
                         : kOutsideUntouched | kDirectoryUntouched,
          0, whyNoStrace};
}

// A non-blocking pipe that is full when the first message comes, which is
// lost, and drained before the next: that one must still be written.
Outcome stderrFullOnce(Scene& scene) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2");
  while (::write(fds[1], "x", 1) == 1) {
  }
  fcntl(fds[1], F_SETFD, 0);
  mkdir((scene.dir + "/" + kLink).c_str(), 0755);
  scene.oracle.snapshot();
  Child child({"bash", "-c", "exec \"$0\" \"$@\" 2>&" + std::to_string(fds[1]), ZARVO_WRITER_PATH,
               scene.dir, "3", kNoRotation});
  close(fds[1]);
  auto drain = [&] {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  };
  // The first link message came before the first record was stored.
  child.write("a\n");
  EXPECT_TRUE(eventually([&] { return scene.oracle.stored() == "a\n"; }, kEnds));
  EXPECT_EQ(drain().find('\n'), std::string::npos) << "the first message fitted after all";
  child.signal(SIGALRM);
  std::string err;
  EXPECT_TRUE(eventually([&] { return (err += drain()).find('\n') != std::string::npos; }, kEnds))
      << "the message after the full pipe was lost";
  child.closeInput();
  const int status = child.wait(kEnds);
  err += drain();
  close(fds[0]);
  return {status, err, "a\n"};
}

const std::vector<Row> kStderrRows = {
    {"FullOnceThenDrained", "stderr a non-blocking pipe, full at the first message only", 3,
     [](Scene& scene, int) { return stderrFullOnce(scene); }, 0,
     "Cannot create symbolic link `{dir}/zarvo-access.log` -> `{dir}/zarvo-access-2.log`: "
     "Is a directory",
     kAllOfInput | kWholeRecords | kOutsideUntouched},
    stderrRow("FullOnAUsageError", "stderr /dev/full, no arguments", Stderr::kFull,
              Run::kUsageError),
    stderrRow("FullOnAFatalError", "stderr /dev/full, DIRECTORY missing", Stderr::kFull,
              Run::kMissingDirectory),
    stderrRow("FullOnACleanRun", "stderr /dev/full, a directory at the link path",
              Stderr::kFull, Run::kCleanWithAMessage),
    stderrRow("BrokenPipeOnAUsageError", "stderr a pipe nobody reads, no arguments",
              Stderr::kBrokenPipe, Run::kUsageError),
    stderrRow("BrokenPipeOnAFatalError", "stderr a pipe nobody reads, DIRECTORY missing",
              Stderr::kBrokenPipe, Run::kMissingDirectory),
    stderrRow("BrokenPipeOnACleanRun", "stderr a pipe nobody reads, a directory at the link path",
              Stderr::kBrokenPipe, Run::kCleanWithAMessage),
    stderrRow("ClosedOnAFatalError", "stderr closed, DIRECTORY missing", Stderr::kClosed,
              Run::kMissingDirectory),
};

class MatrixStderr : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixStderr, ExitsWithItsStatusNeverBySigpipe) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixStderr, ::testing::ValuesIn(kStderrRows), rowName);

// --- a second writer through another spelling of DIRECTORY -----------------

Outcome secondWriter(Scene& scene, const std::string& spelling, const std::string& cwd) {
  Child first(writer({scene.dir, std::to_string(scene.maxFileNum), kNoRotation}));
  first.write("first\n");
  EXPECT_TRUE(eventually([&] { return scene.oracle.stored() == "first\n"; }, kEnds));
  scene.oracle.snapshot();
  RunResult second = run(writer({expand(spelling, scene), "3", "0"}), "second\n", kEnds,
                         expand(cwd, scene));
  EXPECT_EQ(std::count(second.err.begin(), second.err.end(), '\n'), 1) << "one line: " << second.err;
  EXPECT_EQ(scene.oracle.check(kDirectoryUntouched | kOutsideUntouched, "").failures, "")
      << "the refusal touched nothing";
  first.write("after\n");
  first.closeInput();
  EXPECT_EQ(first.wait(kEnds), 0) << "the first writer goes on";
  return {second.status, second.err, "first\nafter\n"};
}

Row secondWriterRow(std::string name, std::string spelling, std::string cwd) {
  const std::string message = "Cannot lock directory `\"" + spelling +
                              "\"`: another zarvo-accesslogwriter is writing there";
  const std::string how =
      "a second writer through " + spelling + (cwd.empty() ? "" : " from " + cwd);
  return {std::move(name), how, 3,
          [spelling, cwd](Scene& scene, int) { return secondWriter(scene, spelling, cwd); }, 1,
          message, kAllOfInput | kWholeRecords | kOutsideUntouched};
}

const std::vector<Row> kSecondWriterRows = {
    secondWriterRow("SameSpelling", "{dir}", ""),
    secondWriterRow("TrailingSlash", "{dir}/", ""),
    secondWriterRow("SymbolicLink", "{top}/via", ""),
    secondWriterRow("RelativeSpelling", "logs", "{top}"),
    secondWriterRow("DotDotSpelling", "../logs", "{top}/victim"),
};

class MatrixSecondWriter : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixSecondWriter, RefusesAndTouchesNothing) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixSecondWriter, ::testing::ValuesIn(kSecondWriterRows), rowName);

// --- files removed by someone else --------------------------------------------

// A writer fed part by part; each part is waited for on disk and may then
// be rotated out with SIGALRM, so every step happens at a known moment.
struct Driven {
  Scene& scene;
  Child child;
  EndsWithTheTest writerPid;  // the writer itself, also when strace runs it
  std::string fed;  // what DIRECTORY should hold: parts whose file is removed are dropped

  Driven(Scene& s, const std::vector<std::string>& argv)
      : scene(s), child(argv), writerPid{argv[0] == "strace" ? tracedWriter(child.pid()) : -1} {}

  void feed(int part, bool kept = true) {
    // Enough for an archive of several writes.
    const std::string lines = requests("part " + std::to_string(part), 1500);
    child.write(lines);
    EXPECT_TRUE(eventually([&] {
      const std::string stored = scene.oracle.stored();
      return stored.size() >= lines.size() &&
             stored.compare(stored.size() - lines.size(), lines.size(), lines) == 0;
    }, kEnds)) << "part " << part << " never reached the disk";
    if (kept) fed += lines;
  }

  void rotateTo(int next) {
    if (writerPid.pid > 0) {
      kill(writerPid.pid, SIGALRM);
    } else {
      child.signal(SIGALRM);
    }
    EXPECT_TRUE(eventually([&] {
      return readLink(scene.dir + "/" + kLink) == scene.dir + "/" + logName(next);
    }, kEnds)) << "no rotation to " << logName(next);
  }

  void remove(const std::string& name) {
    EXPECT_EQ(::unlink((scene.dir + "/" + name).c_str()), 0) << name;
  }

  // Once the writer has printed `lines` lines and, unless a failure is to
  // keep a file back, the archive thread has caught up.
  Outcome finish(size_t lines, bool catchesUp = true) {
    EXPECT_TRUE(eventually([&] {
      const std::string err = child.stderrText();
      return (!catchesUp || caughtUp(scene.dir, scene.maxFileNum)) &&
             static_cast<size_t>(std::count(err.begin(), err.end(), '\n')) >= lines;
    }, kEnds)) << "never caught up: " << ::testing::PrintToString(listDir(scene.dir));
    child.closeInput();
    return {child.wait(kEnds), child.stderrText(), fed};
  }
};

std::vector<std::string> plainWriter(const Scene& scene) {
  return writer({scene.dir, std::to_string(scene.maxFileNum), kNoRotation});
}

// The writer under strace: `injection` applies to its `calls` on `file`
// in DIRECTORY; the trace goes to scratch.
std::vector<std::string> injectedWriter(const Scene& scene, const std::string& calls,
                                        const std::string& injection, const std::string& file) {
  return traced(scene.scratch / "trace",
                {"-e", "trace=" + calls, "-e", "inject=" + injection, "-P", scene.dir + "/" + file},
                plainWriter(scene));
}

Outcome removeCurrentFile(Scene& scene) {
  Driven run(scene, plainWriter(scene));
  run.feed(1, false);
  run.remove(logName(1));
  run.rotateTo(2);
  run.feed(2);
  return run.finish(1);
}

// The first archive's fsync is held back, each step longer, while file 2
// waits in the queue behind it; file 3 is being written.
std::vector<std::string> heldFirstArchive(Scene& scene, int step) {
  const int heldMs = 2000 << std::min(step - 1, 3);
  return injectedWriter(scene, "fsync", "fsync:delay_enter=" + std::to_string(heldMs * 1000),
                        partialName(1));
}

void queueBehindTheFirstArchive(Driven& run) {
  run.feed(1);
  run.rotateTo(2);
  run.feed(2, false);
  run.rotateTo(3);
}

// File 2 is removed while it waits in the queue; each step holds the first
// archive longer, until the removal came while file 1 was still a ".log".
Outcome removeQueuedLog(Scene& scene, int step) {
  SCOPED_TRACE("step " + std::to_string(step) + " of the first archive's held fsync");
  Driven run(scene, heldFirstArchive(scene, step));
  queueBehindTheFirstArchive(run);
  run.remove(logName(2));
  if (!exists(scene.dir + "/" + logName(1))) {
    EXPECT_LT(step, 4) << "the archive thread was past file 1 before the removal";
    Outcome missed;
    missed.missed = true;
    return missed;
  }
  run.feed(3);
  return run.finish(1);
}

enum class Planted { kFifo, kSymbolicLink, kHardLink };

// As above, with an entry put in the queued file's place: a FIFO, or a
// link (symbolic or hard) to a file outside DIRECTORY. The archive thread
// reports it once, leaves it there unread and goes on archiving.
Outcome plantedForQueuedLog(Scene& scene, int step, Planted kind) {
  SCOPED_TRACE("step " + std::to_string(step) + " of the first archive's held fsync");
  Driven run(scene, heldFirstArchive(scene, step));
  queueBehindTheFirstArchive(run);
  const std::string planted = scene.dir + "/" + logName(2);
  const std::string target = scene.top / "victim/precious";
  run.remove(logName(2));
  EXPECT_EQ(kind == Planted::kFifo   ? mkfifo(planted.c_str(), 0644)
            : kind == Planted::kSymbolicLink ? symlink(target.c_str(), planted.c_str())
                                     : link(target.c_str(), planted.c_str()),
            0);
  const std::string state = entryState(planted);
  if (!exists(scene.dir + "/" + logName(1))) {
    EXPECT_LT(step, 4) << "the archive thread was past file 1 before the entry came";
    unlink(planted.c_str());
    Outcome missed;
    missed.missed = true;
    return missed;
  }
  // Not run.feed: the oracle would read the planted entry.
  const std::string lines = requests("part 3", 1500);
  run.child.write(lines);
  run.fed += lines;
  EXPECT_TRUE(eventually([&] { return readLog(scene.dir + "/" + logName(3)).body() == lines; },
                         kEnds));
  run.rotateTo(4);
  EXPECT_TRUE(eventually([&] { return exists(scene.dir + "/" + gzName(3)); }, kEnds))
      << "archiving stopped at the planted entry: " << ::testing::PrintToString(listDir(scene.dir));
  // The newest file goes first: the planted entry's turn may come after file 3's.
  EXPECT_TRUE(eventually([&] {
    return run.child.stderrText().find(planted + "`: ") != std::string::npos;
  }, kEnds)) << "the planted entry was never reported";
  EXPECT_EQ(entryState(planted), state) << "the planted entry stays as it was";
  EXPECT_FALSE(exists(scene.dir + "/" + gzName(2))) << "what it leads to was archived";
  // The checks that follow would read it.
  unlink(planted.c_str());
  return run.finish(1);
}

Outcome removeRetainedArchive(Scene& scene) {
  Driven run(scene, plainWriter(scene));
  run.feed(1, false);
  run.rotateTo(2);
  EXPECT_TRUE(eventually([&] { return caughtUp(scene.dir, scene.maxFileNum); }, kEnds));
  run.remove(gzName(1));
  run.feed(2);
  run.rotateTo(3);
  run.feed(3);
  return run.finish(0);
}

Outcome removeLink(Scene& scene) {
  Driven run(scene, plainWriter(scene));
  run.feed(1);
  run.remove(kLink);
  run.rotateTo(2);
  run.feed(2);
  return run.finish(0);
}

Row removedRow(std::string name, std::string how, uint32_t maxFileNum,
               Outcome (*provoke)(Scene&, int), std::string lastLine, unsigned promises,
               std::string (*missing)() = nullptr) {
  return {std::move(name), std::move(how), maxFileNum, provoke, 0, std::move(lastLine),
          promises | kAllOfInput | kRecovered | kWholeRecords | kOutsideUntouched, 0, missing};
}

Row removedRow(std::string name, std::string how, uint32_t maxFileNum,
               Outcome (*provoke)(Scene&), std::string lastLine, unsigned promises,
               std::string (*missing)() = nullptr) {
  Row row = removedRow(std::move(name), std::move(how), maxFileNum,
                       static_cast<Outcome (*)(Scene&, int)>(nullptr), std::move(lastLine),
                       promises, missing);
  row.provoke = [provoke](Scene& scene, int) { return provoke(scene); };
  return row;
}

Row plantedRow(std::string name, std::string how, Planted kind, const std::string& reason) {
  Row row = removedRow(std::move(name), std::move(how), 10,
                       static_cast<Outcome (*)(Scene&, int)>(nullptr),
                       "Cannot compress file: `{dir}/zarvo-access-2.log`: " + reason, 0, whyNoStrace);
  row.provoke = [kind](Scene& scene, int step) { return plantedForQueuedLog(scene, step, kind); };
  return row;
}

// A file that is gone is no loss the writer could prevent: the records it
// held are gone with it, and the run goes on.
const std::vector<Row> kRemovedRows = {
    removedRow("TheCurrentFile", "the file being written removed, then a rotation", 3,
               removeCurrentFile,
               "Cannot compress file: `{dir}/zarvo-access-1.log`: No such file or directory", 0),
    removedRow("AQueuedLog", "a finished file removed while it waits for the archive thread", 10,
               removeQueuedLog,
               "Cannot compress file: `{dir}/zarvo-access-2.log`: No such file or directory", 0,
               whyNoStrace),
    plantedRow("AFifoForAQueuedLog", "a FIFO in place of a finished file waiting for the archive thread",
               Planted::kFifo, "Not a regular file"),
    plantedRow("ALinkForAQueuedLog",
               "a symbolic link to a file outside DIRECTORY in place of a finished file waiting "
               "for the archive thread", Planted::kSymbolicLink, "Is a symbolic link"),
    plantedRow("AHardLinkForAQueuedLog",
               "a hard link to a file outside DIRECTORY in place of a finished file waiting for "
               "the archive thread", Planted::kHardLink, "Has other hard links"),
    removedRow("ARetainedArchive", "the archive next to retire removed before it is due", 2,
               removeRetainedArchive, "", kNewestArchivesKept),
    removedRow("TheLink", "the link removed, then a rotation", 3, removeLink, "",
               kNewestArchivesKept),
};

class MatrixRemoved : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixRemoved, TheRunGoesOnAndTheLinkIsMadeAgain) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixRemoved, ::testing::ValuesIn(kRemovedRows), rowName);

// --- an archive that cannot be written --------------------------------------

// strace applies `injection` to the first archive's calls: its compression
// fails, the run goes on, archiving the next file, with the ".log" kept for
// the next run, which then archives it. A failure for want of room is tried
// again a second later, when the disk (never full here) has room: the run
// itself then archives the ".log".
Outcome archiveFails(Scene& scene, const std::string& calls, const std::string& injection,
                     bool retried) {
  Outcome out;
  {
    Driven run(scene, injectedWriter(scene, calls, injection, partialName(1)));
    run.feed(1);
    run.rotateTo(2);
    run.feed(2);
    run.rotateTo(3);
    run.feed(3);
    EXPECT_TRUE(eventually([&] {
      return exists(scene.dir + "/" + gzName(2)) && !exists(scene.dir + "/" + logName(2));
    }, kEnds)) << "the next file was not archived: " << ::testing::PrintToString(listDir(scene.dir));
    // The message comes just after the partial archive is removed.
    EXPECT_TRUE(eventually([&] {
      return !run.child.stderrText().empty() && !exists(scene.dir + "/" + partialName(1));
    }, kEnds));
    if (retried) {
      EXPECT_TRUE(eventually([&] { return !exists(scene.dir + "/" + logName(1)); }, kEnds))
          << "never tried again";
    }
    out = run.finish(1, retried);
  }
  EXPECT_EQ(std::count(out.err.begin(), out.err.end(), '\n'), 1) << "one line: " << out.err;
  EXPECT_EQ(exists(scene.dir + "/" + logName(1)), !retried) << "the .log is kept until archived";
  EXPECT_EQ(exists(scene.dir + "/" + gzName(1)), retried) << "an archive under its name";
  EXPECT_FALSE(exists(scene.dir + "/" + partialName(1))) << "the partial archive is removed";
  return recover(scene, out);
}

// A FIFO planted where the first archive is written: its compression fails
// at once, naming the FIFO, and the run goes on; the next start removes it.
Outcome fifoAtTheTemporary(Scene& scene) {
  Outcome out;
  const std::string fifo = scene.dir + "/" + partialName(1);
  {
    Driven run(scene, plainWriter(scene));
    run.feed(1);
    EXPECT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    run.rotateTo(2);
    run.feed(2);
    run.rotateTo(3);
    EXPECT_TRUE(eventually([&] { return exists(scene.dir + "/" + gzName(2)); }, kEnds))
        << "archiving stopped at the FIFO: " << ::testing::PrintToString(listDir(scene.dir));
    out = run.finish(1, false);
  }
  EXPECT_TRUE(exists(scene.dir + "/" + logName(1))) << "the .log is kept";
  EXPECT_TRUE(exists(fifo)) << "the FIFO stays while the run lasts";
  return recover(scene, out);
}

Row archiveRow(std::string name, std::string how, std::string calls, std::string injection,
               const std::string& error) {
  const bool retried = error == "No space left on device";
  return {std::move(name), std::move(how), 10,
          [=](Scene& scene, int) { return archiveFails(scene, calls, injection, retried); },
          0, "Cannot compress file: `{dir}/zarvo-access-1.log`: " + error,
          kAllOfInput | kRecovered | kNewestArchivesKept | kWholeRecords | kOutsideUntouched, 0,
          whyNoStrace};
}

const std::vector<Row> kArchiveRows = {
    {"FifoAtTheTemporary", "a FIFO where the first archive is written", 10,
     [](Scene& scene, int) { return fifoAtTheTemporary(scene); }, 0,
     "Cannot compress file: `{dir}/.zarvo-access-1.log.gz.tmp`: Not a regular file",
     kAllOfInput | kRecovered | kNewestArchivesKept | kWholeRecords | kOutsideUntouched},
    archiveRow("NoSpaceAtTheFirstWrite", "ENOSPC at the first write of the first archive",
               "write", "write:error=ENOSPC:when=1", "No space left on device"),
    archiveRow("InputOutputErrorMidWrite", "EIO at the second write of the first archive",
               "write", "write:error=EIO:when=2", "Input/output error"),
    archiveRow("FailedSync", "EIO from the fsync of the first archive", "fsync",
               "fsync:error=EIO:when=1", "Input/output error"),
    archiveRow("FailedRename", "ENOSPC from the rename that names the first archive",
               "rename,renameat,renameat2", "rename,renameat,renameat2:error=ENOSPC:when=1",
               "No space left on device"),
};

class MatrixArchive : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixArchive, TheLogIsKeptAndArchivedLater) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixArchive, ::testing::ValuesIn(kArchiveRows), rowName);

// --- a failing close ----------------------------------------------------------

// The only close of file 1 is that of the log file, which strace fails: at
// the end of input, or at the rotation that the first record sets off under
// a 100-byte limit. Nothing is opened after the failure, unless the disk
// was full: then, the file synced once the archive thread has caught up
// (room may have been all it lacked), the writer goes on without a word.
Outcome closeFails(Scene& scene, const std::string& error, const std::string& maxFileSize,
                   const std::string& input, const std::string& kept, bool pauses) {
  RunResult r = run(traced(scene.scratch / "trace",
                           {"--seccomp-bpf", "-e", "trace=close", "-e",
                            "inject=close:error=" + error + ":when=1", "-P",
                            scene.dir + "/" + logName(1)},
                           writer({scene.dir, std::to_string(scene.maxFileNum), maxFileSize})),
                    input, kEnds);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), pauses ? 0 : 1) << r.err;
  if (!pauses) {
    EXPECT_FALSE(exists(scene.dir + "/" + logName(2))) << "nothing is opened after the failure";
  }
  return {r.status, r.err, kept};
}

Row closeRow(std::string name, std::string how, std::string error, std::string text,
             std::string maxFileSize, std::string input, std::string kept) {
  return {std::move(name), std::move(how), 3,
          [=](Scene& scene, int) {
            return closeFails(scene, error, maxFileSize, input, kept, false);
          },
          1, "Cannot write line to file: `\"{dir}/zarvo-access-1.log\"`: " + text,
          kAllOfInput | kWholeRecords | kOutsideUntouched, 0, whyNoStrace};
}

Row pausedCloseRow(std::string name, std::string how, std::string maxFileSize, std::string input) {
  return {std::move(name), std::move(how), 3,
          [=](Scene& scene, int) {
            return closeFails(scene, "ENOSPC", maxFileSize, input, input, true);
          },
          0, "", kAllOfInput | kWholeRecords | kOutsideUntouched, 0, whyNoStrace};
}

const std::vector<Row> kCloseRows = {
    closeRow("InputOutputErrorAtTheEndOfInput", "EIO from the close at the end of input", "EIO",
             "Input/output error", "100000", "a\nb\nlast line without newline",
             "a\nb\nlast line without newline"),
    closeRow("InputOutputErrorAtARotation", "EIO from the close at a rotation", "EIO",
             "Input/output error", "100", "a\nb\n", "a\n"),
    pausedCloseRow("NoSpaceAtTheEndOfInput", "ENOSPC from the close at the end of input",
                   "100000", "a\n"),
    pausedCloseRow("NoSpaceAtARotation", "ENOSPC from the close at a rotation", "100", "a\nb\n"),
};

class MatrixClose : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixClose, AFailedCloseEndsTheRunUnlessTheDiskWasFull) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixClose, ::testing::ValuesIn(kCloseRows), rowName);

// --- a failing write of records ------------------------------------------------

// The header reaches the disk with the first write, before any input is
// read; each later batch of input with a write of its own. strace fails
// write number `failing` on file 1: nothing later may reach the file. For
// a full disk (ENOSPC, EDQUOT) the write is done again once the archive
// thread has caught up (room may have been all it lacked): it succeeds, and
// everything reaches the file without a word.
Outcome writeFails(Scene& scene, const std::string& error, int failing, bool lastEndsInput) {
  const bool pauses = error != "EIO";
  const std::string file = scene.dir + "/" + logName(1);
  Child child(traced(scene.scratch / "trace",
                     {"--seccomp-bpf", "-e", "trace=write", "-e",
                      "inject=write:error=" + error + ":when=" + std::to_string(failing), "-P",
                      file},
                     writer({scene.dir, std::to_string(scene.maxFileNum), kNoRotation})));
  std::string stored;
  for (int batch = 2; batch < failing; ++batch) {
    const std::string lines = "batch " + std::to_string(batch) + " line\n";
    child.write(lines);
    stored += lines;
    EXPECT_TRUE(eventually([&] { return readLog(file).body() == stored; }, kEnds))
        << "batch " << batch;
  }
  if (lastEndsInput) {
    child.write("tail without newline");  // its bytes go out with the final close
  } else {
    // The failing batch, read on its own (unless the run has already
    // ended), and one the writer must never get to write unless it paused.
    child.write("failing batch\n");
    EXPECT_TRUE(eventually([&] { return child.endsWithin(0) || child.unreadInput() == 0; }, kEnds));
    child.write("later batch\n");
    if (pauses) stored += "failing batch\nlater batch\n";
  }
  child.closeInput();
  const int status = child.wait(kEnds);
  const std::string err = child.stderrText();
  if (pauses) {
    EXPECT_EQ(readLog(file).body(), stored);
  } else if (std::count(err.begin(), err.end(), '\n') != 1) {
    ADD_FAILURE() << "one line: " << err;
  } else if (failing == 1) {
    EXPECT_EQ(readFile(file), "");
  } else {
    EXPECT_EQ(readLog(file).body(), stored);
  }
  return {status, err, stored};
}

Row writeRow(std::string name, std::string error, std::string text, int failing,
             bool lastEndsInput = false) {
  const std::string how = error + " on write " + std::to_string(failing) + " of file 1" +
                          (lastEndsInput ? " at the end of input" : "");
  const bool pauses = error != "EIO";
  return {std::move(name), how, 3,
          [=](Scene& scene, int) { return writeFails(scene, error, failing, lastEndsInput); },
          pauses ? 0 : 1,
          pauses ? "" : "Cannot write line to file: `\"{dir}/zarvo-access-1.log\"`: " + text,
          kAllOfInput | kWholeRecords | kOutsideUntouched, 0, whyNoStrace};
}

const std::vector<Row> kWriteRows = {
    writeRow("InputOutputErrorAtTheHeader", "EIO", "Input/output error", 1),
    writeRow("NoSpaceAtTheHeader", "ENOSPC", "No space left on device", 1),
    writeRow("InputOutputErrorAtTheFirstBatch", "EIO", "Input/output error", 2),
    writeRow("NoSpaceAtTheSecondBatch", "ENOSPC", "No space left on device", 3),
    writeRow("QuotaAtTheThirdBatch", "EDQUOT", "Disk quota exceeded", 4),
    writeRow("InputOutputErrorAtTheFinalClose", "EIO", "Input/output error", 3, true),
};

class MatrixWrite : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixWrite, AFailedWriteEndsTheRunUnlessTheDiskWasFull) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixWrite, ::testing::ValuesIn(kWriteRows), rowName);

// --- a failing read of standard input ------------------------------------------

// Bytes the traced reads returned before the injected failure.
size_t bytesRead(const std::string& traceLog) {
  static const std::regex kRead(R"(read\(0, .*\) += (\d+)$)");
  size_t total = 0;
  std::istringstream in(readFile(traceLog));
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, m, kRead)) total += std::stoul(m[1].str());
  }
  return total;
}

// Input from a file (several reads' worth) whose read number `failing`
// fails: every byte read before is kept, a line cut by it included.
Outcome readFails(Scene& scene, int failing) {
  const std::string input = requests("item", 30000);
  const std::string inputFile = scene.scratch / "input", trace = scene.scratch / "trace";
  writeFile(inputFile, input);
  RunResult r = run(stdinFrom(inputFile,
                              traced(trace,
                                     {"--seccomp-bpf", "-e", "trace=read", "-e",
                                      "inject=read:error=EIO:when=" + std::to_string(failing),
                                      "-P", inputFile},
                                     writer({scene.dir, std::to_string(scene.maxFileNum),
                                             kNoRotation}))),
                    "", kEnds);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
  const size_t read = bytesRead(trace);
  EXPECT_LT(read, input.size()) << "the failure came after the whole input";
  if (failing > 1) {
    EXPECT_GT(read, 0u) << "the trace shows no successful read";
  }
  return {r.status, r.err, input.substr(0, std::min(read, input.size()))};
}

Row readRow(std::string name, int failing) {
  return {std::move(name), "EIO from read " + std::to_string(failing) + " of standard input", 3,
          [failing](Scene& scene, int) { return readFails(scene, failing); }, 1,
          "Cannot read line from stdin: Input/output error",
          kAllOfInput | kWholeRecords | kOutsideUntouched, 0, whyNoStrace};
}

const std::vector<Row> kReadRows = {readRow("TheFirstRead", 1), readRow("TheSecondRead", 2),
                                    readRow("TheFourthRead", 4)};

class MatrixRead : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixRead, AReadErrorKeepsEverythingReadBeforeIt) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixRead, ::testing::ValuesIn(kReadRows), rowName);

// --- a failing periodic flush ---------------------------------------------------

// After a rotation with no input behind it, the new file's header is
// flushed before the writer waits for input again, and that write fails for
// want of room: it is done again once the archive thread has caught up.
Outcome periodicFlushFails(Scene& scene) {
  Driven run(scene, injectedWriter(scene, "write", "write:error=ENOSPC:when=1", logName(2)));
  run.feed(1);
  run.rotateTo(2);
  EXPECT_TRUE(eventually([&] { return readFile(scene.dir + "/" + logName(2)) != ""; }, kEnds))
      << "the header never came";
  run.feed(2);
  return run.finish(0);
}

const std::vector<Row> kFlushRows = {
    {"NoSpaceForTheNextHeader", "ENOSPC when the new file's header is flushed after a rotation", 3,
     [](Scene& scene, int) { return periodicFlushFails(scene); }, 0, "", kAllOfInput | kWholeRecords | kOutsideUntouched, 0,
     whyNoStrace},
};

class MatrixFlush : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixFlush, AFlushThatFindsNoRoomIsDoneAgain) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixFlush, ::testing::ValuesIn(kFlushRows), rowName);

// --- long lines and arbitrary bytes ------------------------------------------

std::string longLine(size_t size) {
  std::string line;
  for (size_t i = 0; line.size() < size; ++i) line += std::to_string(i) + ",";
  line.resize(size);
  return line;
}

std::string aroundTheChunkLimit() {
  std::string input;
  for (int round = 0; round < 3; ++round)
    for (size_t length = 2045; length <= 2050; ++length) input += longLine(length - 1) + "\n";
  return input;
}

std::string tenByteLines(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += "line " + std::to_string(10000 + i).substr(1) + "\n";
  return lines;
}

Row inputRow(std::string name, std::string how, std::string input, std::string maxFileSize) {
  return {std::move(name), std::move(how), 100,
          [input, maxFileSize](Scene& scene, int) {
            RunResult r = run(writer({scene.dir, "100", maxFileSize}), input, kEnds * 3);
            return Outcome{r.status, r.err, input};
          },
          0, "", kAllOfInput | kWholeRecords | kTimeInOrder | kOutsideUntouched};
}

// Milliseconds since the epoch of a record's time, its first 24 characters.
int64_t recordMilliseconds(const std::string& prefix) {
  std::tm tm{};
  int ms = 0;
  std::sscanf(prefix.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
              &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms);
  tm.tm_year -= 1900, tm.tm_mon -= 1;
  return int64_t(timegm(&tm)) * 1000 + ms;
}

// Lines written one at a time, each once the one before is stored: the pause
// after a small read must not hold them back. A record's time is taken as
// the writer reads it, just before it is written out.
Outcome trickle(Scene& scene, int) {
  Child child(writer({scene.dir, "100", kNoRotation}));
  std::string input;
  std::vector<int64_t> delays;
  for (int i = 0; i < 20; ++i) {
    const std::string line = "GET /trickle/" + std::to_string(i) + "\n";
    const auto sent = std::chrono::system_clock::now().time_since_epoch();
    child.write(line);
    input += line;
    eventually([&] { return storedInput(scene.dir) == input; }, kEnds);
    const LogFile log = readLog(scene.dir + "/" + logName(1));
    delays.push_back(recordMilliseconds(log.prefixes.back()) -
                     std::chrono::duration_cast<std::chrono::milliseconds>(sent).count());
  }
  child.closeInput();
  Outcome out{child.wait(kEnds), child.stderrText(), input};
  std::nth_element(delays.begin(), delays.begin() + 10, delays.end());
  if (delays[10] >= 20) out.err += "median " + std::to_string(delays[10]) + " ms to the file\n";
  return out;
}

const std::vector<Row> kInputRows = {
    // One read's worth (it fits the pipe): a rotation after every record.
    inputRow("OneReadOfRotations", "6500 ten-byte lines in one write, MAXFILESIZE 0",
             tenByteLines(6500), "0"),
    inputRow("MebibyteWithoutNewline", "1 MiB without a newline", longLine(1 << 20), kNoRotation),
    inputRow("MebibyteLineAcrossRotations", "1 MiB line, MAXFILESIZE 100000",
             longLine(1 << 20) + "\nafter\n", "100000"),
    inputRow("LinesAroundTheChunkLimit", "lines of 2045 to 2050 bytes", aroundTheChunkLimit(),
             kNoRotation),
    inputRow("ChunkLimitLinesAcrossRotations", "lines of 2045 to 2050 bytes, MAXFILESIZE 3000",
             aroundTheChunkLimit(), "3000"),
    inputRow("FourMebibytesOfRandomBytes", "4 MiB of random bytes, MAXFILESIZE 1000000",
             randomBytes(4 << 20, 4 << 20), "1000000"),
    {"TrickleReachesTheFileAtOnce", "20 lines one at a time, median under 20 ms", 100, trickle,
     0, "", kAllOfInput | kWholeRecords | kTimeInOrder | kOutsideUntouched},
};

class MatrixInput : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixInput, StoresEveryByteInWholeRecords) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixInput, ::testing::ValuesIn(kInputRows), rowName);

// --- memory exhaustion --------------------------------------------------------

std::string whyNoShim() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return "a sanitizer runtime owns malloc in this build";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return "a sanitizer runtime owns malloc in this build";
#endif
#endif
  return exists(ZARVO_FAIL_ALLOCATION_PATH) ? "" : "the allocation shim was not built";
}

// A whole log file of an earlier run, so that the archive thread has work
// as soon as it starts.
const std::string& earlierFile() {
  static const std::string bytes = earlierLog(requests("earlier run", 10));
  return bytes;
}

// Step n: the nth allocation of `thread` fails (0 the main thread, 1 the
// first thread the writer starts: the archive thread). The input stays open
// until the writer ended, archived the earlier file or reported a failure.
Outcome allocationFails(Scene& scene, int thread, int n) {
  const std::string earlier = scene.dir + "/" + logName(1);
  writeFile(earlier, earlierFile());
  const std::string note = scene.scratch / "failed";
  Child starved({"env", "LD_PRELOAD=" ZARVO_FAIL_ALLOCATION_PATH,
                "ZARVO_FAIL_ALLOCATION=" + std::to_string(n),
                "ZARVO_FAIL_ALLOCATION_THREAD=" + std::to_string(thread),
                "ZARVO_FAIL_ALLOCATION_LOG=" + note, ZARVO_WRITER_PATH, scene.dir,
                std::to_string(scene.maxFileNum), kNoRotation});
  const std::string input = "a\nb\n";
  starved.write(input);
  EXPECT_TRUE(eventually(
      [&] {
        return starved.endsWithin(0) || (!exists(earlier) && exists(earlier + ".gz")) ||
               !starved.stderrText().empty();
      },
      kEnds))
      << "neither ended, archived nor reported: a hang";
  starved.closeInput();
  const int status = starved.wait(kEnds);
  const std::string before = parseLog(earlierFile()).body();
  return {status, starved.stderrText(), before + input, before.size(), exists(note)};
}

Row allocationRow(std::string name, std::string how, int thread) {
  return {std::move(name), std::move(how), 3,
          [thread](Scene& scene, int step) { return allocationFails(scene, thread, step); },
          kZeroOrOne, std::nullopt, kPrefixOfInput | kWholeRecords | kOutsideUntouched,
          kAllOfInput, whyNoShim};
}

const std::vector<Row> kMemoryRows = {
    allocationRow("OnTheMainThread", "the Nth allocation of the main thread fails, N = 1, 2, ...",
                  0),
    allocationRow("OnTheArchiveThread",
                  "the Nth allocation of the archive thread fails, N = 1, 2, ...", 1),
};

class MatrixMemory : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixMemory, ExhaustionEndsWithStatusZeroOrOne) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixMemory, ::testing::ValuesIn(kMemoryRows), rowName);

// --- a slow archive thread ------------------------------------------------------

// Only the archive thread calls fsync (twice per archive): delaying it lets
// a backlog of finished files build up behind a fast input. When retention
// keeps fewer files than wait, the ones it would retire are never compressed.
// Each step delays it longer, until the backlog shows.
// The longest record of `input`: the prefix, as the second header line of
// any file in dir shows it, and the longest line.
uint64_t longestRecord(const std::string& dir, const std::string& input) {
  const LogFile any = readLog(dir + "/" + readLink(dir + "/" + kLink).substr(dir.size() + 1));
  size_t line = 0;
  for (size_t at = 0, end; at < input.size(); at = end + 1) {
    end = input.find('\n', at);
    line = std::max(line, end - at + 1);
  }
  return any.formatLine.size() - std::string(kFormatText).size() - 1 + line;
}

// DIRECTORY as it is at one moment: entries but the link's own temporary,
// and the bytes of its files.
struct Sample {
  size_t entries = 0;
  uint64_t bytes = 0;
};
Sample sampleDir(const std::string& dir) {
  Sample now;
  for (const std::string& name : listDir(dir)) {
    if (name == "." + kLink + ".tmp") continue;
    struct stat st;
    if (lstat((dir + "/" + name).c_str(), &st) != 0) continue;  // gone meanwhile
    ++now.entries;
    if (S_ISREG(st.st_mode)) now.bytes += static_cast<uint64_t>(st.st_size);
  }
  return now;
}

// A burst, then a quiet input: every file rotated where MAXFILESIZE says,
// and the file that ended the burst is archived while the input stays quiet.
Outcome slowArchive(Scene& scene, int step, int lines, const std::string& maxFileSize) {
  const int delayMs = 200 << std::min(step - 1, 3);
  SCOPED_TRACE("every fsync delayed " + std::to_string(delayMs) + " ms");
  const std::string input = requests("backlog", lines);
  const std::string last = input.substr(input.rfind('\n', input.size() - 2) + 1);
  Child traced(zarvo::test::traced(
      scene.scratch / "trace",
      {"-e", "trace=fsync", "-e", "inject=fsync:delay_enter=" + std::to_string(delayMs * 1000)},
      writer({scene.dir, std::to_string(scene.maxFileNum), maxFileSize})));
  traced.write(input);
  size_t backlog = 0;
  EXPECT_TRUE(eventually([&] {
    backlog = std::max(backlog, listLogDirectory(scene.dir).logs().size());
    const std::string stored = scene.oracle.stored();
    return stored.size() >= last.size() &&
           stored.compare(stored.size() - last.size(), last.size(), last) == 0;
  }, kEnds));
  if (backlog < 3 && step < 4) {
    Outcome missed;
    missed.missed = true;
    return missed;
  }
  EXPECT_GE(backlog, 3u) << "no backlog built up";
  uint64_t current = 0;
  EXPECT_TRUE(eventually([&] {
    current = listLogDirectory(scene.dir).caughtUpAt(scene.dir);
    return caughtUp(scene.dir, scene.maxFileNum);
  }, kEnds * 6)) << "the file that ended the burst was never archived";
  expectRotation(scene.dir, std::stoull(maxFileSize), {current});
  traced.closeInput();
  return {traced.wait(kEnds), traced.stderrText(), input};
}

// The same slow archive thread under a storm of rotations, fed in batches
// every 10 ms: DIRECTORY, sampled at each batch, never holds more than the
// current file, max(1, MAXFILENUM - 1) finished ones, one archive temporary
// and the link, nor more bytes than that many files of MAXFILESIZE plus one
// record, the temporary counted as one.
Outcome boundedStorm(Scene& scene) {
  const uint64_t maxFileSize = 2000;
  Child traced(zarvo::test::traced(
      scene.scratch / "trace", {"-e", "trace=fsync", "-e", "inject=fsync:delay_enter=200000"},
      writer({scene.dir, std::to_string(scene.maxFileNum), std::to_string(maxFileSize)})));
  std::string fed;
  Sample peak;
  int batch = 0;
  auto sample = [&] {
    const Sample now = sampleDir(scene.dir);
    peak.entries = std::max(peak.entries, now.entries);
    peak.bytes = std::max(peak.bytes, now.bytes);
  };
  eventually([&] {
    sample();
    const std::string lines = requests("storm " + std::to_string(batch), 20);
    traced.write(lines);
    fed += lines;
    return ++batch == 150;
  }, kEnds);
  const std::string last = fed.substr(fed.rfind('\n', fed.size() - 2) + 1);
  EXPECT_TRUE(eventually([&] {
    sample();
    const std::string stored = scene.oracle.stored();
    return stored.size() >= last.size() &&
           stored.compare(stored.size() - last.size(), last.size(), last) == 0;
  }, kEnds));
  const uint64_t kept = scene.maxFileNum - 1;
  EXPECT_LE(peak.entries, 1 + kept + 1 + 1) << "entries at the peak";
  EXPECT_LE(peak.bytes, (1 + kept + 1) * (maxFileSize + longestRecord(scene.dir, fed)))
      << "bytes at the peak";
  EXPECT_TRUE(eventually([&] { return caughtUp(scene.dir, scene.maxFileNum); }, kEnds * 6))
      << "the backlog never drained";
  traced.closeInput();
  return {traced.wait(kEnds), traced.stderrText(), fed};
}

// File 1's rename is held 3 s once its archive has taken its name, while
// the next record pushes file 1 out (MAXFILENUM 2) and the input ends: the
// archive goes with its file, though the run ends before that compression
// returns. Only the second record is to be kept.
Outcome namedAsItsFileRetires(Scene& scene) {
  const std::string renames = "rename,renameat,renameat2";
  Child traced(zarvo::test::traced(
      scene.scratch / "trace",
      {"-e", "trace=" + renames, "-e", "inject=" + renames + ":delay_exit=3000000", "-P",
       scene.dir + "/" + partialName(1)},
      writer({scene.dir, std::to_string(scene.maxFileNum), "0"})));
  traced.write("one\n");
  EXPECT_TRUE(eventually([&] { return exists(scene.dir + "/" + gzName(1)); }, kEnds));
  traced.write("two\n");
  traced.closeInput();
  return {traced.wait(kEnds), traced.stderrText(), "two\n"};
}

const std::vector<Row> kBacklogRows = {
    {"BoundedDuringAStorm",
     "every fsync delayed 200 ms, 20 records every 10 ms for 1.5 s, MAXFILESIZE 2000, "
     "MAXFILENUM 4",
     4, [](Scene& scene, int) { return boundedStorm(scene); }, 0, "",
     kAllOfInput | kRecovered | kNewestArchivesKept | kWholeRecords | kOutsideUntouched, 0,
     whyNoStrace},
    {"BurstThenQuiet", "every fsync delayed 200 ms, 8000 lines at once, MAXFILESIZE 150000",
     100,
     [](Scene& scene, int step) { return slowArchive(scene, step, 8000, "150000"); }, 0, "",
     kAllOfInput | kRecovered | kNewestArchivesKept | kWholeRecords | kOutsideUntouched, 0,
     whyNoStrace},
    {"BacklogBeyondRetention",
     "every fsync delayed 200 ms, 300 files at once, MAXFILENUM 3: drains in a few compressions", 3,
     [](Scene& scene, int step) { return slowArchive(scene, step, 300, "0"); }, 0, "",
     kAllOfInput | kRecovered | kNewestArchivesKept | kWholeRecords | kOutsideUntouched, 0,
     whyNoStrace},
    {"NamedAsItsFileRetires", "an archive takes its name as its file is pushed out", 2,
     [](Scene& scene, int) { return namedAsItsFileRetires(scene); }, 0, "",
     kAllOfInput | kWholeRecords | kOutsideUntouched, 0, whyNoStrace},
};

class MatrixBacklog : public ::testing::TestWithParam<Row> {};
TEST_P(MatrixBacklog, DrainsAfterTheInputWithNothingLost) { walk(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, MatrixBacklog, ::testing::ValuesIn(kBacklogRows), rowName);

}  // namespace
}  // namespace zarvo::test

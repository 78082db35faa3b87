// The real writer under real faults: a full disk, no inode left, a
// directory for standard input, links planted where the next file goes, and
// a directory that stops accepting new files (failing writes, closes and
// reads under strace are rows of the fault matrix). Each run must end
// with status 1 and its one message, and what is on disk must be an exact
// prefix of the input, never followed by later bytes.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/chunk_rule.h"
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

std::string writeFailed(const std::string& path, const std::string& error) {
  return "Cannot write line to file: `" + quoted(path) + "`: " + error + "\n";
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

// How many input bytes a log file holds when its bytes are an exact prefix of
// what a faultless run writes for `input` (both header lines, then every chunk
// behind a prefix like the format line's), cut anywhere after the header;
// -1 when they are not.
long heldInput(const std::string& bytes, const std::string& input) {
  const std::string format = kFormatText;
  const size_t firstNewline = bytes.find('\n');
  const size_t formatAt = bytes.find(format);
  if (firstNewline == std::string::npos || formatAt == std::string::npos) return -1;
  const std::string reference = bytes.substr(firstNewline + 1, formatAt - firstNewline - 1);
  size_t pos = formatAt + format.size(), in = 0;
  while (pos < bytes.size()) {
    if (in == input.size()) return -1;
    const size_t prefixBytes = std::min(reference.size(), bytes.size() - pos);
    if (!prefixMatches(bytes.substr(pos, prefixBytes), reference)) return -1;
    pos += prefixBytes;
    const size_t chunkBytes = std::min(chunkAt(input, in), bytes.size() - pos);
    if (bytes.compare(pos, chunkBytes, input, in, chunkBytes) != 0) return -1;
    pos += chunkBytes;
    in += chunkBytes;
  }
  return static_cast<long>(in);
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

TEST(FaultFullDisk, AWriteIntoAFullFileSystemEndsWithAnExactPrefix) {
  const std::string why = whyNoTmpfs();
  if (!why.empty()) GTEST_SKIP() << why;
  TempDir work;
  const std::string input = requests("item", 20000);  // about 760 KB for a 64 KB file system
  writeFile(work / "input", input);
  mkdir((work / "disk").c_str(), 0755);
  mkdir((work / "copy").c_str(), 0755);
  RunResult r =
      runOnTmpfs("size=64k", work / "disk", "100000000", work / "input", work / "copy");
  if (r.status == kMountRefused) GTEST_SKIP() << "mount refused: " << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, writeFailed(work / "disk/" + logName(1), "No space left on device"));
  EXPECT_EQ(listDir(work / "copy"), (std::vector<std::string>{logName(1), "zarvo-access.log"}));
  const long held = heldInput(readFile(work / "copy/" + logName(1)), input);
  EXPECT_GT(held, 0) << "the file is not an exact prefix of the records";
  EXPECT_LT(held, static_cast<long>(input.size()));
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
    RunResult r = runOnTmpfs("size=1m,nr_inodes=" + std::to_string(c.inodes), work / "disk", "100",
                             work / "input", work / "copy");
    if (r.status == kMountRefused) GTEST_SKIP() << "mount refused: " << r.err;
    EXPECT_EQ(r.status, 1);
    const std::string disk = work / "disk";
    // The archive thread may fail on the finished file too, if it gets there
    // first: no inode for its temporary.
    const std::string archiveLine = "Cannot compress file: `" + disk + "/." + gzName(1) +
                                    ".tmp`: No space left on device\n";
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
// on a file system with room for it but not for its archive beside it. The
// archive thread takes that file at start-up while the main thread writes the
// new file's header; the archive fills the disk only after some 2 MB of
// compression, long after the header is out. Should a slow main thread still
// be late, the archive's first write is held back under strace, longer on
// each attempt.
TEST(FaultFullDisk, AnArchiveThatDoesNotFitIsRemovedAndItsLogKept) {
  const std::string why = whyNoTmpfs();
  if (!why.empty()) GTEST_SKIP() << why;
  std::string earlier(8 << 20, '\0');
  uint64_t x = 1;
  for (char& c : earlier) c = "0123456789abcdef"[(x = x * 6364136223846793005ULL + 1) >> 60];
  const std::string script =
      "mount -t tmpfs -o size=9m tmpfs \"$1\" || exit 125\n"
      "cp -a \"$2\"/. \"$1\" || exit 126\n"
      "disk=$1 copy=$4; shift 4; \"$@\"\n"
      "status=$?\n"
      "cp -a \"$disk\"/. \"$copy\" || exit 126\n"
      "exit $status\n";
  for (int heldMs : {0, 500, 2000, 8000}) {
    SCOPED_TRACE("the archive's first write held " + std::to_string(heldMs) + " ms");
    TempDir work;
    const std::string disk = work / "disk", seed = work / "seed", copy = work / "copy";
    for (const std::string& d : {disk, seed, copy}) mkdir(d.c_str(), 0755);
    writeFile(seed + "/" + logName(1), earlier);
    std::vector<std::string> argv{"unshare", "-m", "sh", "-c", script, "sh", disk, seed, "-", copy};
    std::vector<std::string> command = writer({disk, "10", "100000000"});
    if (heldMs > 0) {
      if (!whyNoStrace().empty()) GTEST_SKIP() << "the header came late and " << whyNoStrace();
      command = traced(work / "trace",
                       {"-e", "trace=write", "-e",
                        "inject=write:delay_enter=" + std::to_string(heldMs * 1000) + ":when=1",
                        "-P", disk + "/" + logName(1) + ".gz"},
                       command);
    }
    argv.insert(argv.end(), command.begin(), command.end());
    Child child(argv);
    child.write("a\n");
    eventually([&] { return child.stderrText().find('\n') != std::string::npos; }, kEnds);
    child.closeInput();
    const int status = child.wait(kEnds);
    if (status == kMountRefused) GTEST_SKIP() << "mount refused: " << child.stderrText();
    // The archive filled the disk before the header was out: try again.
    if (status == 1 && child.stderrText().find(logName(2)) != std::string::npos && heldMs < 8000)
      continue;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(child.stderrText(), "Cannot compress file: `" + disk + "/" + logName(1) +
                                      "`: No space left on device\n");
    EXPECT_EQ(listDir(copy), (std::vector<std::string>{logName(1), logName(2), "zarvo-access.log"}));
    EXPECT_EQ(readFile(copy + "/" + logName(1)), earlier);
    EXPECT_EQ(readLog(copy + "/" + logName(2)).body(), "a\n");
    return;
  }
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

TEST(FaultPlantedLink, TheNextFileIsNeverOpenedThroughALinkOrAsAnythingButAFile) {
  const auto link = [](std::function<std::string(const TempDir&, const TempDir&)> target) {
    return [target](const TempDir& dir, const TempDir& other, const std::string& path) {
      return symlink(target(dir, other).c_str(), path.c_str()) == 0;
    };
  };
  const std::string loop = "Too many levels of symbolic links";
  struct Case {
    std::string what;
    std::function<bool(const TempDir& dir, const TempDir& other, const std::string& path)> plant;
    std::string error;
  } cases[] = {
      {"a file elsewhere", link([](const TempDir&, const TempDir& other) { return other / "victim"; }),
       loop},
      {"a missing file", link([](const TempDir&, const TempDir& other) { return other / "absent"; }),
       loop},
      {"a directory",
       link([](const TempDir&, const TempDir& other) { return other / "victim-dir"; }), loop},
      {"the file being written",
       link([](const TempDir& dir, const TempDir&) { return dir / logName(1); }), loop},
      // An open that waited for a reader would hold the writer for good.
      {"a FIFO", [](const TempDir&, const TempDir&, const std::string& path) {
         return mkfifo(path.c_str(), 0644) == 0;
       }, "No such device or address"},
      {"a directory itself", [](const TempDir&, const TempDir&, const std::string& path) {
         return mkdir(path.c_str(), 0755) == 0;
       }, "Is a directory"},
      {"a socket", [](const TempDir&, const TempDir&, const std::string& path) {
         return bindSocket(path);
       }, "No such device or address"},
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
    child.signal(SIGALRM);  // rotates now: the file holds a record
    EXPECT_EQ(child.wait(kEnds), 1);
    EXPECT_EQ(child.stderrText(), openFailed(dir / logName(2), c.error));
    EXPECT_EQ(readLink(dir / "zarvo-access.log"), dir / logName(1)) << "the link stays";
    EXPECT_EQ(readFile(other / "victim"), "precious bytes\n");
    EXPECT_FALSE(exists(other / "absent"));
    EXPECT_TRUE(listDir(other / "victim-dir").empty());
    EXPECT_EQ(parseLog(storedFile(dir.path().string(), 1)).body(), "a\n");
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

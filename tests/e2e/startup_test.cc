// Start-up of the real writer: arguments, directory checks, the scan of
// files left by earlier runs, and the refusals that must touch nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format/product.h"
#include "tests/support/files.h"
#include "tests/support/log_directory.h"
#include "tests/support/log_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace zarvo::test {
namespace {

const char kUsage[] = "Usage: zarvo-accesslogwriter DIRECTORY MAXFILENUM MAXFILESIZE\n";

TEST(Startup, BadArgumentsPrintUsageAndTouchNothing) {
  TempDir dir;
  const std::string d = dir.path().string();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {d},
      {d, "3"},
      {d, "3", "100", "extra"},
      {d, "3x", "100"},
      {d, "0x10", "100"},
      {d, "", "100"},
      {d, "-", "100"},
      {d, " 3", "100"},
      {d, "4294967296", "100"},
      {d, "3", "18446744073709551616"},
      {d, "3", "1e6"},
      {"--help", "x"},
      {"-h"},
      {"--version", d, "3"},
  };
  for (const auto& args : cases) {
    RunResult r = run(writer(args));
    std::string shown;
    for (const auto& a : args) shown += "'" + a + "' ";
    EXPECT_EQ(r.status, 1) << shown;
    EXPECT_EQ(r.err, kUsage) << shown;
  }
  EXPECT_TRUE(listDir(d).empty());
}

// Both programs of one build name its build type. The writer's --help gives
// the units of its numbers; the reader's has one line for each option of
// its usage line, the line that follows one naming an argument that does
// not fit, status 2.
TEST(Startup, HelpAndVersionAnswerOnStandardOutput) {
  for (const std::string program : {ZARVO_WRITER_PATH, ZARVO_READER_PATH}) {
    const std::string version = program.substr(program.rfind('/') + 1) + " " + kProductVersion +
                                " (build " + kProductBuild + ", " + ZARVO_BUILD_TYPE + ")\n";
    std::string help;
    for (const std::string option : {"--help", "--version"}) {
      // Standard output shown as standard error, the real standard error dropped.
      RunResult out = run({"sh", "-c", "exec \"$0\" \"$@\" >&2 2>/dev/null", program, option});
      EXPECT_EQ(out.status, 0) << option;
      EXPECT_EQ(run({program, option}).err, "") << option;
      if (option == "--help") help = out.err;
      else EXPECT_EQ(out.err, version);
    }
    if (program == ZARVO_WRITER_PATH) {
      EXPECT_EQ(help, std::string(kUsage) +
          "  DIRECTORY    the directory that holds the log files; it must exist\n"
          "  MAXFILENUM   a count of files: the current one and MAXFILENUM - 1 archives (at least 1)\n"
          "  MAXFILESIZE  in bytes: a file is closed once it holds more, its header included\n");
      continue;
    }
    const std::string usage = help.substr(0, help.find('\n') + 1);
    const std::regex option("\\[(-[-a-z]+)");
    long options = 2;  // --help, --version
    for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it, ++options)
      EXPECT_TRUE(std::regex_search(help, std::regex("\n  " + (*it)[1].str() + "[ =]"))) << (*it)[1];
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), options + 1) << help;
    for (const auto& [bad, line] : {std::pair{"--bogus", "Bad argument: `--bogus`: unknown option\n"},
                                    {"-oxml", "Bad argument: `-oxml`: the only output format is json\n"},
                                    {"--since=-5m", "Bad time for --since: `-5m`: use "
                                     "2026-12-10T08:50:45Z or 2026-12-10 08:50:45 (a fraction of a "
                                     "second and the Z optional, always UTC), or -30s, -30sec, "
                                     "-15min, -2h, -1d\n"}}) {
      const RunResult r = run({program, bad, "."});
      EXPECT_EQ(r.status, 2) << bad;
      EXPECT_EQ(r.err, line + usage);
    }
  }
}

// Each number read as it is meant shows in the files: where they rotate
// and how many archives stay.
TEST(Startup, AcceptsSignedAndPaddedNumbers) {
  const std::string link = kLinkName;
  struct Case {
    std::string num, size;
    int lines, firstKept;  // input lines; the first one retention leaves
    std::vector<std::string> listed;
  } cases[] = {
      {"3", "1048576", 4, 1, {logName(1), link}},
      {"+3", "0", 4, 3, {gzName(3), gzName(4), logName(5), link}},
      {"-1", "-1", 4, 1, {logName(1), link}},  // both wrap to the largest value
      {"-1", "0", 4, 1, {gzName(1), gzName(2), gzName(3), gzName(4), logName(5), link}},
      {"007", "4294967296", 4, 1, {logName(1), link}},
      {"007", "0", 8, 3, {gzName(3), gzName(4), gzName(5), gzName(6), gzName(7), gzName(8), logName(9), link}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.num + " " + c.size);
    TempDir dir;
    std::string input, kept;
    for (int i = 1; i <= c.lines; ++i) {
      input += "line " + std::to_string(i) + "\n";
      if (i >= c.firstKept) kept += "line " + std::to_string(i) + "\n";
    }
    RunResult r = runUntil(writer({dir.path().string(), c.num, c.size}), input,
                           [&](const Child&) { return listDir(dir.path().string()) == c.listed; });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(withoutLevelLine(r.err), "");
    EXPECT_EQ(listDir(dir.path().string()), c.listed);
    EXPECT_EQ(storedInput(dir.path().string()), kept);
  }
}

TEST(Startup, RefusesAMissingOrWrongDirectoryWithItsMessage) {
  TempDir dir;
  writeFile(dir / "plain", "x");
  struct Case {
    std::string directory, message;
  } cases[] = {
      {dir / "missing", "Directory `\"" + (dir / "missing") + "\"` does not exist.\n"},
      {dir / "missing/deeper", "Directory `\"" + (dir / "missing/deeper") + "\"` does not exist.\n"},
      {dir / "plain/sub", "Directory `\"" + (dir / "plain/sub") + "\"` does not exist.\n"},
      {"", "Directory `\"\"` does not exist.\n"},
      {dir / "plain", "`\"" + (dir / "plain") + "\"` is not a directory.\n"},
      {dir / "a\"b&c", "Directory `\"" + dir.path().string() + "/a&\"b&&c\"` does not exist.\n"},
  };
  for (const Case& c : cases) {
    RunResult r = run(writer({c.directory, "3", "100"}), "line\n");
    EXPECT_EQ(r.status, 1) << c.directory;
    EXPECT_EQ(r.err, c.message) << c.directory;
  }
  EXPECT_EQ(listDir(dir.path().string()), std::vector<std::string>{"plain"});
}

TEST(Startup, ASymbolicLinkToADirectoryServesAsTheDirectory) {
  TempDir dir;
  mkdir((dir / "real").c_str(), 0755);
  symlink((dir / "real").c_str(), (dir / "via").c_str());
  RunResult r = run(writer({dir / "via", "3", "100000"}), "x\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readLog(dir / "real/zarvo-access-1.log").body(), "x\n");
}

TEST(Startup, ContinuesNumberingAfterTheHighestNumberedFile) {
  struct Case {
    std::vector<std::string> regular;  // created as regular files
    std::string next;
    std::vector<std::string> kept = {};  // with MAXFILENUM 3, once retention is done
  } cases[] = {
      {{}, "zarvo-access-1.log"},
      {{"zarvo-access-3.log", "zarvo-access-7.log.gz", "notes.txt"}, "zarvo-access-8.log"},
      {{"zarvo-access-9.log", "zarvo-access-10.log"}, "zarvo-access-11.log"},
      // Retention takes leftovers by number, not by name: 9 is the oldest.
      {{gzName(9), gzName(10), logName(11)},
       logName(12),
       {gzName(10), gzName(11), logName(12), kLinkName}},
      {{"zarvo-access12.log", "zarvo-access+4.log"}, "zarvo-access-13.log"},
      {{"zarvo-access-0.log"}, "zarvo-access-1.log"},
      {{"zarvo-access--5.log", "zarvo-access-5a.log", "zarvo-access-.log",
        "zarvo-access-5.log.gz.gz", "zarvo-access-5.gz", "zarvo-access-5.LOG",
        "ZARVO-ACCESS-5.log"},
       "zarvo-access-1.log"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::string content = c.kept.empty() ? "" : earlierLog("x\n");
    for (const std::string& name : c.regular) writeFile(dir / name, content);
    RunResult r = c.kept.empty()
                      ? run(writer({d, "100", "1000000"}))
                      : runUntil(writer({d, "3", "1000000"}), "",
                                 [&](const Child&) { return listDir(d) == c.kept; });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readLink(dir / "zarvo-access.log"), dir / c.next) << c.next;
    if (!c.kept.empty()) {
      EXPECT_EQ(listDir(d), c.kept);
    }
  }
}

// Only the writer's own files are archived or retired: a link, a file with
// a second name elsewhere or another user's file under a numbered name is
// said once and left as it is, and every name still counts for numbering.
TEST(Startup, OnlyItsOwnFilesAreArchivedButEveryNameCounts) {
  TempDir dir, other;
  writeFile(other / "elsewhere", "precious bytes\n");
  const std::string d = dir.path().string();
  const std::vector<std::pair<std::string, std::string>> planted = {
      {logName(6), "Is a symbolic link"},        {logName(7), "Has other hard links"},
      {gzName(8), "Is a symbolic link"},         {gzName(9), "Has other hard links"},
      {logName(10), "Owned by another user"},    {logName(20), "Is a symbolic link"},
      {logName(30), "Not a regular file"},       {logName(40), "Not a regular file"},
      {logName(50), "Is a symbolic link"},
  };
  symlink((other / "elsewhere").c_str(), (dir / logName(6)).c_str());
  link((other / "elsewhere").c_str(), (dir / logName(7)).c_str());
  symlink((other / "elsewhere").c_str(), (dir / gzName(8)).c_str());
  link((other / "elsewhere").c_str(), (dir / gzName(9)).c_str());
  writeFile(dir / logName(10), earlierLog("theirs\n"));
  if (chown((dir / logName(10)).c_str(), geteuid() + 1, 65534) != 0)
    GTEST_SKIP() << "cannot give a file to another user: " << std::strerror(errno);
  symlink((dir / "gone").c_str(), (dir / logName(20)).c_str());
  mkdir((dir / logName(30)).c_str(), 0755);
  mkfifo((dir / logName(40)).c_str(), 0644);
  symlink(logName(50).c_str(), (dir / logName(50)).c_str());  // a loop
  // Names that are not the writer's are never looked at, even when broken.
  symlink("notes.txt", (dir / "notes.txt").c_str());
  std::map<std::string, std::string> before;
  for (const auto& [name, reason] : planted) before[name] = entryState(dir / name);
  const std::string elsewhere = entryState(other / "elsewhere");
  // MAXFILENUM 2: an archive taken in would push the one before it out.
  RunResult r = run(writer({d, "2", "1000000"}), "x\n");
  EXPECT_EQ(r.status, 0);
  std::set<std::string> said;
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) said.insert(line);
  std::set<std::string> expected;
  for (const auto& [name, reason] : planted)
    expected.insert("Skipped: `\"" + (dir / name) + "\"`: " + reason);
  EXPECT_EQ(said, expected) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 9) << "each said once: " << r.err;
  EXPECT_EQ(readLink(dir / "zarvo-access.log"), dir / logName(51));
  for (const auto& [name, reason] : planted)
    EXPECT_EQ(entryState(dir / name), before[name]) << name << " was touched";
  EXPECT_EQ(entryState(other / "elsewhere"), elsewhere);
  for (int n : {6, 7, 10}) EXPECT_FALSE(exists(dir / gzName(n))) << n << " was archived";
}

TEST(Startup, ADirectoryOthersMayWriteIsSaidOnceAndTheRunGoesOn) {
  for (const mode_t mode : {0770, 0705 | S_IWOTH, 01777}) {
    SCOPED_TRACE(mode);
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), mode), 0);
    RunResult r = run(writer({dir.path().string(), "3", "1000000"}), "x\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Shared directory `\"" + dir.path().string() +
                         "\"`: writable by group or others, who can plant entries and remove or "
                         "replace logs\n");
    EXPECT_EQ(readLog(dir / logName(1)).body(), "x\n");
  }
}

TEST(Startup, RefusesFileNumbersTheCounterCannotContinue) {
  for (const std::string name : {"zarvo-access-2147483647.log", "zarvo-access-9223372036854775808.log.gz"}) {
    TempDir dir;
    writeFile(dir / name, "kept");
    RunResult r = run(writer({dir.path().string(), "3", "100"}), "line\n");
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.err, "Cannot continue numbering after `\"" + (dir / name) +
                         "\"`: file numbers end at 2147483647\n");
    EXPECT_EQ(listDir(dir.path().string()), std::vector<std::string>{name});
    EXPECT_EQ(readFile(dir / name), "kept");
  }
}

TEST(Startup, StopsWhenNumberingWouldPassTheLastNumber) {
  TempDir dir;
  writeFile(dir / "zarvo-access-2147483646.log", "");
  RunResult r = run(writer({dir.path().string(), "100", "0"}), "one\ntwo\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot continue numbering after `\"" + (dir / "zarvo-access-2147483647.log") +
                       "\"`: file numbers end at 2147483647\n");
}

TEST(Startup, PermissionProblemsAreReportedNotSilent) {
  std::string why = whyNoUnprivileged();
  if (!why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string noRead = dir / "noread", noSearch = dir / "nosearch",
                    noSearchEmpty = dir / "nosearch-empty";
  for (const std::string& d : {noRead, noSearch, noSearchEmpty}) mkdir(d.c_str(), 0755);
  writeFile(noSearch + "/zarvo-access-4.log", "");
  // Writable by none but root: a directory others may write is said first.
  chmod(noRead.c_str(), 0311);
  chmod(noSearch.c_str(), 0444);
  chmod(noSearchEmpty.c_str(), 0444);
  struct Case {
    std::string directory, message;
  } cases[] = {
      {noRead, "Cannot list directory `\"" + noRead + "\"`: Permission denied\n"},
      {noSearch, "Cannot query status of `\"" + noSearch +
                     "/zarvo-access-4.log\"`: Permission denied\n"},
      {noSearchEmpty, "Cannot open file: `\"" + noSearchEmpty +
                          "/zarvo-access-1.log\"`: Permission denied\n"},
      {noSearch + "/sub", "Cannot query status of `\"" + noSearch + "/sub\"`: Permission denied\n"},
  };
  for (const Case& c : cases) {
    RunResult r = run(unprivileged(writer({c.directory, "3", "100"})), "line\n");
    EXPECT_EQ(r.status, 1) << c.directory;
    EXPECT_EQ(r.err, c.message) << c.directory;
  }
}

}  // namespace
}  // namespace zarvo::test

namespace zarvo::test {
namespace {

// argv run by a shell with the given redirections applied first.
std::vector<std::string> redirected(const std::string& redirections,
                                    const std::vector<std::string>& argv) {
  std::vector<std::string> out{"sh", "-c", "exec \"$0\" \"$@\" " + redirections};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

TEST(Startup, AClosedStandardInputIsAnErrorAndTouchesNothing) {
  // Closed; the write end of a pipe (poll never calls it readable); a
  // device open for writing only.
  for (const std::string redirection : {"<&-", "0>&1 | cat", "0>/dev/null"}) {
    TempDir dir;
    std::vector<std::string> argv{"bash", "-c", "set -o pipefail; \"$0\" \"$@\" " + redirection};
    for (const std::string& arg : writer({dir.path().string(), "3", "100"})) argv.push_back(arg);
    RunResult r = run(argv, "", 10);
    EXPECT_EQ(r.status, 1) << redirection;
    EXPECT_EQ(r.err, "Cannot read line from stdin: Bad file descriptor\n") << redirection;
    EXPECT_TRUE(listDir(dir.path().string()).empty()) << redirection;
  }
}

TEST(Startup, MessagesNeverLandInALogFileWhenOutputsAreClosed) {
  TempDir dir, elsewhere, scratch;
  writeFile(elsewhere / "victim", "");
  writeFile(dir / "zarvo-access-1.log", "x");
  writeFile(dir / "zarvo-access-2.log", "x");
  // The archive of file 1 cannot be written, so the writer has a message to
  // print while its current file is open; file 2 is archived after it, so
  // its archive shows that the message is out.
  symlink((elsewhere / "victim").c_str(), (dir / "zarvo-access-1.log.gz").c_str());
  std::vector<std::string> argv = redirected(">&- 2>&-", writer({dir.path().string(), "10", "100000"}));
  // Where strace can, the archive thread's first open waits until the main
  // thread has surely opened its file: that file would then take a free
  // descriptor 2.
  if (whyNoStrace().empty())
    argv = traced(scratch / "trace",
                  {"-e", "trace=openat", "-e", "inject=openat:delay_enter=300000", "-P",
                   dir / "zarvo-access-1.log"},
                  argv);
  Child child(argv);
  child.write("kept\n");
  EXPECT_TRUE(eventually([&] {
    return exists(dir / "zarvo-access-2.log.gz") && !exists(dir / "zarvo-access-2.log");
  })) << "file 2 was never archived";
  child.closeInput();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(readFile(dir / "zarvo-access-3.log").find("Cannot"), std::string::npos);
  EXPECT_EQ(readLog(dir / "zarvo-access-3.log").body(), "kept\n");
  EXPECT_EQ(readFile(dir / "zarvo-access-1.log"), "x");
  EXPECT_EQ(readFile(elsewhere / "victim"), "");
}

}  // namespace
}  // namespace zarvo::test

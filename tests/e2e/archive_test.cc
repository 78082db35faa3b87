// Archiving by the real writer: finished files compressed in order, old
// archives retired, files of earlier runs taken over, and failures that keep
// the data.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
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

using Names = std::vector<std::string>;


RunResult runUntilListed(const std::vector<std::string>& argv, const std::string& input,
                         const Names& expected, const std::string& dir) {
  return runUntil(argv, input, [&](const Child&) { return listDir(dir) == expected; });
}

// As runUntilListed, and until the writer has printed `lines` lines.
RunResult runUntilReported(const std::vector<std::string>& argv, const std::string& input,
                           const Names& expected, const std::string& dir, size_t lines) {
  return runUntil(argv, input, [&](const Child& child) {
    const std::string err = child.stderrText();
    return listDir(dir) == expected &&
           static_cast<size_t>(std::count(err.begin(), err.end(), '\n')) >= lines;
  });
}

void gzipInto(const std::string& path, const std::string& bytes) {
  TempDir scratch;
  writeFile(scratch / "f", bytes);
  ASSERT_EQ(std::system(("gzip -n -9 " + scratch / "f" + " && mv " + scratch / "f.gz" + " '" +
                         path + "'").c_str()),
            0);
}

TEST(Archive, KeepsTheNewestArchivesBesideTheCurrentFile) {
  struct Case {
    std::string maxFileNum;
    Names expected;
  } cases[] = {
      {"3", {gzName(2), gzName(3), logName(4), "zarvo-access.log"}},
      {"0", {gzName(3), logName(4), "zarvo-access.log"}},
      {"1", {gzName(3), logName(4), "zarvo-access.log"}},
      {"2", {gzName(3), logName(4), "zarvo-access.log"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    // One line a rotation: lines that come while the archive thread is
    // behind would share a file.
    Child child(writer({dir.path().string(), c.maxFileNum, "0"}));
    int next = 2;
    for (const std::string line : {"one\n", "two\n", "three\n"}) {
      child.write(line);
      EXPECT_TRUE(eventually([&] { return readLink(dir / kLinkName) == dir / logName(next); }));
      ++next;
    }
    EXPECT_TRUE(eventually([&] { return listDir(dir.path().string()) == c.expected; }))
        << c.maxFileNum << ": " << ::testing::PrintToString(listDir(dir.path().string()));
    child.closeInput();
    EXPECT_EQ(child.wait(), 0) << c.maxFileNum;
    EXPECT_EQ(withoutLevelLine(child.stderrText()), "") << c.maxFileNum;
    EXPECT_EQ(parseLog(gunzipFile(dir / gzName(3))).body(), "three\n") << c.maxFileNum;
  }
}

TEST(Archive, ArchivesAreOneMemberWithAFixedHeaderAndRoundTripThroughGzip) {
  TempDir dir;
  std::string input;
  for (int i = 0; i < 400; ++i) input += "GET /item/" + std::to_string(i * 7919) + " 200\n";
  const std::string d = dir.path().string();
  uint64_t current = 0;
  RunResult r = runUntil(writer({d, "100", "4096"}), input, [&](const Child&) {
    current = listLogDirectory(d).caughtUpAt(d);
    return current > 4 && storedInput(d) == input;
  });
  ASSERT_EQ(r.status, 0) << r.err;
  for (uint64_t n = 1; n < current; ++n) {
    const std::string gz = readFile(dir / gzName(n));
    // Extra flags 2: level 9; 4: level 1, while the archive thread is behind.
    EXPECT_EQ(gz.substr(0, 8), std::string("\x1f\x8b\x08\0\0\0\0\0", 8)) << n;
    EXPECT_TRUE(gz[8] == 2 || gz[8] == 4) << n << ": " << int(gz[8]);
    EXPECT_EQ(gz[9], '\xff') << n;
    EXPECT_EQ(gzipMemberCount(dir / gzName(n)), 1) << n;
    EXPECT_EQ(run({"gzip", "-t", dir / gzName(n)}).status, 0) << n;
  }
  EXPECT_EQ(storedInput(dir.path().string()), input);
}

TEST(Archive, FilesOfEarlierRunsAreTakenOverOrCompressedInOrder) {
  TempDir dir;
  for (int n = 1; n <= 5; ++n) gzipInto(dir / gzName(n), earlierLog("archive " + std::to_string(n) + "\n"));
  const std::string leftover = earlierLog("left over\n");
  writeFile(dir / logName(7), leftover);
  writeFile(dir / gzName(7), std::string("\x1f\x8b\x08\0\0\0\0\0\x02\xff partial", 18));
  // Runs that got no input: removed, taking no archive's place.
  writeFile(dir / logName(8), earlierLog(""));
  writeFile(dir / logName(9), "");
  // Temporaries of a killed run go; a name of someone else's stays.
  writeFile(dir / ("." + gzName(6) + ".tmp"), "cut short");
  symlink(logName(6).c_str(), (dir / ".zarvo-access.log.tmp").c_str());
  writeFile(dir / ".notes.tmp", "theirs");
  const Names expected = {".notes.tmp", logName(10), gzName(4), gzName(5), gzName(7),
                          "zarvo-access.log"};
  RunResult r = runUntilListed(writer({dir.path().string(), "4", "1000000"}), "new\n", expected,
                               dir.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(gunzipFile(dir / gzName(7)), leftover);
  EXPECT_EQ(gzipMemberCount(dir / gzName(7)), 1);
  EXPECT_EQ(storedInput(dir.path().string()), "archive 4\narchive 5\nleft over\nnew\n");
}

// The writer runs as uid 65534 in a directory it owns; the leftover file
// is its own but cannot be read (mode 0).
struct Unreadable {
  TempDir top;
  std::string dir = top / "logs";
  Unreadable() {
    mkdir(dir.c_str(), 0755);
    chown(dir.c_str(), 65534, 65534);
    writeFile(dir + "/" + logName(5), "unreadable");
    chown((dir + "/" + logName(5)).c_str(), 65534, 65534);
    chmod((dir + "/" + logName(5)).c_str(), 0);
  }
};

TEST(Archive, AnUnreadableFileIsReportedKeptAndLaterRetired) {
  std::string why = whyNoUnprivileged();
  if (!why.empty()) GTEST_SKIP() << why;
  Unreadable u;
  const std::string message = "Cannot compress file: `" + u.dir + "/" + logName(5) +
                              "`: Permission denied\n";
  RunResult r = runUntilReported(unprivileged(writer({u.dir, "3", "100000"})), "a\n",
                                 {logName(5), logName(6), "zarvo-access.log"}, u.dir, 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, message);
  // The next run retries it, fails again, and retires it once two newer
  // archives have arrived. The input comes only after the retry: with two
  // newer files already queued behind it, the file would be retired
  // unread and unreported.
  Child next(unprivileged(writer({u.dir, "3", "0"})));
  EXPECT_TRUE(eventually([&] { return next.stderrText() == message; })) << next.stderrText();
  next.write("b\nc\n");
  const Names expected{gzName(7), gzName(8), logName(9), "zarvo-access.log"};
  EXPECT_TRUE(eventually([&] { return listDir(u.dir) == expected; }));
  next.closeInput();
  EXPECT_EQ(next.wait(), 0);
  EXPECT_EQ(next.stderrText(), message);
}

TEST(Archive, AFailedCompressionSparesAnArchiveItNeverOpened) {
  std::string why = whyNoUnprivileged();
  if (!why.empty()) GTEST_SKIP() << why;
  Unreadable u;
  const std::string archive = u.dir + "/" + gzName(5);
  gzipInto(archive, earlierLog("complete\n"));
  chown(archive.c_str(), 65534, 65534);
  const std::string before = readFile(archive);
  RunResult r = runUntilReported(unprivileged(writer({u.dir, "10", "100000"})), "a\n",
                                 {logName(5), gzName(5), logName(6), "zarvo-access.log"}, u.dir, 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Cannot compress file: `" + u.dir + "/" + logName(5) + "`: Permission denied\n");
  EXPECT_EQ(readFile(archive), before);
}

// With no umask in the way, an archive made the way files are created
// would be open to all: it takes the mode of the file it came from.
TEST(Archive, AnArchiveHasTheModeOfItsFile) {
  TempDir dir;
  for (const int n : {3, 4}) writeFile(dir / logName(n), earlierLog("kept\n"));
  chmod((dir / logName(3)).c_str(), 0600);
  chmod((dir / logName(4)).c_str(), 0640);
  RunResult r = runUntilListed({"sh", "-c", "umask 0; exec \"$0\" \"$@\"", ZARVO_WRITER_PATH,
                                dir.path().string(), "10", "100000"},
                               "", {gzName(3), gzName(4), logName(5), "zarvo-access.log"},
                               dir.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  struct stat st;
  EXPECT_TRUE(stat((dir / gzName(3)).c_str(), &st) == 0 && (st.st_mode & 07777) == 0600);
  EXPECT_TRUE(stat((dir / gzName(4)).c_str(), &st) == 0 && (st.st_mode & 07777) == 0640);
}

TEST(Archive, ALinkPlantedAtTheArchivePathIsNotFollowed) {
  for (const std::string target : {"victim", "absent", "victim-dir"}) {
    SCOPED_TRACE("a link to " + target);
    TempDir dir;
    TempDir elsewhere;
    writeFile(elsewhere / "victim", "precious");
    mkdir((elsewhere / "victim-dir").c_str(), 0755);
    const std::string leftover = earlierLog("kept\n");
    writeFile(dir / logName(6), leftover);
    symlink((elsewhere / target).c_str(), (dir / gzName(6)).c_str());
    Child child(writer({dir.path().string(), "10", "100000"}));
    child.write("a\n");
    EXPECT_TRUE(eventually([&] {
      const std::string err = child.stderrText();
      return std::count(err.begin(), err.end(), '\n') == 2;
    }));
    child.closeInput();
    EXPECT_EQ(child.wait(), 0);
    // The scan leaves the link alone; the compression will not replace it.
    EXPECT_EQ(child.stderrText(), "Skipped: `\"" + (dir / gzName(6)) +
                                      "\"`: Is a symbolic link\nCannot compress file: `" +
                                      (dir / gzName(6)) + "`: Too many levels of symbolic links\n");
    EXPECT_EQ(listDir(elsewhere.path().string()), (Names{"victim", "victim-dir"}));
    EXPECT_EQ(readFile(elsewhere / "victim"), "precious");
    EXPECT_TRUE(listDir(elsewhere / "victim-dir").empty());
    EXPECT_EQ(readLink(dir / gzName(6)), elsewhere / target) << "the planted link stays";
    EXPECT_EQ(readFile(dir / logName(6)), leftover);
  }
}

TEST(Archive, EachArchiveIsSyncedBeforeItsSourceIsRemoved) {
  if (const std::string why = whyNoStrace(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  TempDir traceDir;
  const std::string trace = traceDir / "trace";
  RunResult r = runUntilListed(
      traced(trace, {"-y", "-e", "trace=fsync,unlink,unlinkat,rename"},
             writer({dir.path().string(), "10", "0"})),
      "one\ntwo\nthree\n", {gzName(1), gzName(2), gzName(3), logName(4), "zarvo-access.log"},
      dir.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  // Events in call order: "sync <path>", "unlink <path>" or "rename <from>".
  // A call cut in two by another thread's line is listed where it started.
  std::vector<std::string> events;
  std::istringstream lines(readFile(trace));
  for (std::string line; std::getline(lines, line);) {
    size_t open;
    if ((open = line.find("fsync(")) != std::string::npos) {
      size_t from = line.find('<', open), to = line.find('>', from);
      if (from != std::string::npos && to != std::string::npos)
        events.push_back("sync " + line.substr(from + 1, to - from - 1));
    } else if ((open = line.find("unlink")) != std::string::npos &&
               line.find("resumed") == std::string::npos) {
      size_t from = line.find('"', open), to = line.find('"', from + 1);
      if (from != std::string::npos && to != std::string::npos)
        events.push_back("unlink " + line.substr(from + 1, to - from - 1));
    } else if ((open = line.find("rename(")) != std::string::npos) {
      size_t from = line.find('"', open), to = line.find('"', from + 1);
      if (from != std::string::npos && to != std::string::npos)
        events.push_back("rename " + line.substr(from + 1, to - from - 1));
    }
  }
  auto at = [&](const std::string& event) {
    return std::find(events.begin(), events.end(), event) - events.begin();
  };
  const long none = static_cast<long>(events.size());
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(::testing::PrintToString(events));
    // Written and synced under a temporary name, then renamed to its own.
    const std::string partial = dir / ("." + gzName(n) + ".tmp");
    long fileSync = at("sync " + partial);
    long rename = at("rename " + partial);
    long unlink = at("unlink " + dir / logName(n));
    ASSERT_NE(fileSync, none) << "no fsync of " << gzName(n);
    ASSERT_NE(unlink, none) << "no unlink of " << logName(n);
    ASSERT_NE(rename, none) << "no rename of " << partial;
    EXPECT_LT(fileSync, rename) << gzName(n) << " synced before it takes its name";
    auto dirSync = std::find(events.begin() + rename, events.end(), "sync " + dir.path().string());
    EXPECT_LT(dirSync - events.begin(), unlink) << "directory synced before " << logName(n) << " goes";
  }
}

// The first compression's syncs take a second each while six more files
// finish; MAXFILENUM 4 keeps 5, 6 and 7. File 1, pushed out while it was
// compressed, is given up before its archive takes its name; 2, 3 and 4 are
// never opened; 7, 6 and 5 follow, newest first.
TEST(Archive, TheNewestFileIsCompressedFirstAndADoomedOneNever) {
  if (const std::string why = whyNoStrace(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir, traceDir;
  const std::string trace = traceDir / "trace";
  Child child(traced(trace, {"-e", "trace=openat,rename,fsync", "-e", "inject=fsync:delay_enter=1000000"},
                     writer({dir.path().string(), "4", "0"})));
  child.write("one\n");
  ASSERT_TRUE(eventually([&] { return exists(dir / ("." + gzName(1) + ".tmp")); }));
  child.write("two\nthree\nfour\nfive\nsix\nseven\n");
  const Names kept{gzName(5), gzName(6), gzName(7), logName(8), "zarvo-access.log"};
  EXPECT_TRUE(eventually([&] { return listDir(dir.path().string()) == kept; }, 30))
      << ::testing::PrintToString(listDir(dir.path().string()));
  child.closeInput();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.stderrText(), "Archive thread behind the input: compressing at level 1\n");
  std::vector<int> read;
  std::istringstream lines(readFile(trace));
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.find("rename(\"" + dir / ("." + gzName(1))), std::string::npos) << line;
    const std::string opened = "openat(AT_FDCWD, \"" + dir / "zarvo-access-";
    const size_t at = line.find(opened);
    if (at == std::string::npos || line.find("O_RDONLY") == std::string::npos) continue;
    read.push_back(std::stoi(line.substr(at + opened.size())));
  }
  EXPECT_EQ(read, (std::vector<int>{1, 7, 6, 5}));
  for (int n = 5; n <= 7; ++n)
    EXPECT_EQ(readFile(dir / gzName(n))[8], 4) << gzName(n) << ": level 1 says so in its extra flags";
}

TEST(Archive, AKilledRunIsRecoveredByTheNextOne) {
  TempDir dir;
  std::string first, second;
  for (int i = 0; i < 300; ++i) first += "first run request " + std::to_string(i) + "\n";
  for (int i = 0; i < 300; ++i) second += "second run request " + std::to_string(i) + "\n";
  {
    Child child(writer({dir.path().string(), "100", "3000"}));
    child.write(first);
    // Each batch of input reaches the disk before the next wait for input.
    EXPECT_TRUE(eventually([&] { return storedInput(dir.path().string()) == first; }));
    child.signal(SIGKILL);
    child.wait();
  }
  const uint64_t highest = listLogDirectory(dir.path().string()).highest();
  ASSERT_GT(highest, 1u);
  RunResult r = runUntil(writer({dir.path().string(), "100", "3000"}), second, [&](const Child&) {
    return listLogDirectory(dir.path().string()).caughtUpAt(dir.path().string()) > highest + 1;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(withoutLevelLine(r.err), "");
  EXPECT_TRUE(exists(dir / gzName(highest))) << "the file being written at the kill";
  EXPECT_EQ(storedInput(dir.path().string()), first + second);
}

}  // namespace
}  // namespace zarvo::test

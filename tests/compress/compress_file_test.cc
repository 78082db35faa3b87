#include "compress/compress_file.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/forked_child.h"
#include "tests/support/files.h"
#include "tests/support/input.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using zarvo::compressFile;
using zarvo::test::exists;
using zarvo::test::randomBytes;
using zarvo::test::readFile;
using zarvo::test::TempDir;
using zarvo::test::writeFile;
namespace fs = boost::filesystem;

std::error_code generic(int value) { return std::error_code(value, std::generic_category()); }

const std::string kHeader("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff", 10);

// Log-like text, so the archive holds real deflate blocks rather than stored ones.
std::string logText(size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i)
    text += "2024-05-01T10:00:00Z GET /item/" + std::to_string(i * 7919 % 10007) + " 200\n";
  text.resize(size);
  return text;
}

// What is at path, for comparing before and after a call.
std::string describe(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "absent";
  if (S_ISLNK(st.st_mode)) return "link to " + zarvo::test::readLink(path);
  if (S_ISDIR(st.st_mode)) return "directory";
  return "file: " + readFile(path);
}

TEST(CompressFileTest, EmptyInputGivesTheTwentyByteMember) {
  TempDir dir;
  const std::string input = dir / "zarvo-access-1.log";
  writeFile(input, "");
  fs::path output = "stale";
  bool archiveOpened = false;
  EXPECT_EQ(compressFile(input, output, archiveOpened), std::error_code());
  EXPECT_TRUE(archiveOpened);
  EXPECT_EQ(output.string(), input + ".gz");
  const std::string emptyMember = kHeader + std::string("\x03\x00", 2) + std::string(8, '\0');
  EXPECT_EQ(readFile(output.string()), emptyMember);
  EXPECT_EQ(readFile(input), "");
}

TEST(CompressFileTest, ArchiveRoundTripsThroughGzip) {
  if (!zarvo::test::haveCommand("gzip")) GTEST_SKIP() << "gzip is not installed";
  TempDir dir;
  const std::string input = dir / "zarvo-access-7.log";
  const std::string content = logText(10000);
  writeFile(input, content);
  fs::path output;
  bool archiveOpened = false;
  EXPECT_EQ(compressFile(input, output, archiveOpened), std::error_code());
  const std::string archive = readFile(output.string());
  EXPECT_EQ(archive.substr(0, 10), kHeader);
  EXPECT_LT(archive.size(), content.size());
  const auto unpacked = zarvo::test::run(
      {"sh", "-c", "gzip -dc \"$1\" > \"$2\"", "sh", output.string(), dir / "unpacked"});
  ASSERT_EQ(unpacked.status, 0) << unpacked.err;
  EXPECT_EQ(readFile(dir / "unpacked"), content);
  EXPECT_EQ(readFile(input), content);
}

TEST(CompressFileTest, ExistingArchiveIsOverwritten) {
  TempDir dir;
  const std::string input = dir / "zarvo-access-3.log";
  const std::string content = logText(3000);
  writeFile(input, content);
  writeFile(input + ".gz", randomBytes(50000, 1));  // a partial archive of an earlier run
  fs::path output;
  bool archiveOpened = false;
  EXPECT_EQ(compressFile(input, output, archiveOpened), std::error_code());
  EXPECT_EQ(zarvo::test::gzipMemberCount(output.string()), 1);
  EXPECT_EQ(zarvo::test::gunzipFile(output.string()), content);
}

struct FailureCase {
  const char* name;
  std::function<void(const std::string& input, const std::string& archive)> setUp;
  std::error_code expected;
  bool archiveOpened;
};

TEST(CompressFileTest, FailuresAreGenericErrorsAndSpareArchivesNeverOpened) {
  const auto writeInput = [](const std::string& input, const std::string&) {
    writeFile(input, "line\n");
  };
  const FailureCase cases[] = {
      {"missing input, no archive", [](const std::string&, const std::string&) {},
       generic(ENOENT), false},
      {"missing input beside a complete archive",
       [](const std::string&, const std::string& archive) { writeFile(archive, "complete"); },
       generic(ENOENT), false},
      {"archive path is a link",
       [&](const std::string& input, const std::string& archive) {
         writeInput(input, archive);
         writeFile(input + ".victim", "precious");
         ASSERT_EQ(symlink((input + ".victim").c_str(), archive.c_str()), 0);
       },
       generic(ELOOP), false},
      {"archive path is a directory",
       [&](const std::string& input, const std::string& archive) {
         writeInput(input, archive);
         ASSERT_EQ(mkdir(archive.c_str(), 0755), 0);
       },
       generic(EISDIR), false},
      {"input is a directory",
       [](const std::string& input, const std::string&) { ASSERT_EQ(mkdir(input.c_str(), 0755), 0); },
       zarvo::notRegularFile(), false},
      // Neither open waits for the other end of a FIFO.
      {"input is a FIFO",
       [](const std::string& input, const std::string&) { ASSERT_EQ(mkfifo(input.c_str(), 0644), 0); },
       zarvo::notRegularFile(), false},
      // Truncated and written, the file elsewhere would be lost.
      {"temporary is a hard link to a file elsewhere",
       [&](const std::string& input, const std::string& archive) {
         writeInput(input, archive);
         writeFile(input + ".victim", "precious");
         ASSERT_EQ(link((input + ".victim").c_str(),
                        zarvo::temporaryArchivePath(archive).c_str()), 0);
       },
       [] {
         struct stat twice {};
         twice.st_mode = S_IFREG;
         twice.st_nlink = 2;
         return zarvo::strayEntry(twice);
       }(),
       false},
      {"temporary is a FIFO",
       [&](const std::string& input, const std::string& archive) {
         writeInput(input, archive);
         ASSERT_EQ(mkfifo(zarvo::temporaryArchivePath(archive).c_str(), 0644), 0);
       },
       zarvo::notRegularFile(), false},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string input = dir / "zarvo-access-5.log";
    const std::string archive = input + ".gz";
    c.setUp(input, archive);
    const std::string before = describe(archive);
    const std::string victimBefore = describe(input + ".victim");
    fs::path output;
    bool archiveOpened = !c.archiveOpened;
    EXPECT_EQ(compressFile(input, output, archiveOpened), c.expected);
    EXPECT_EQ(output.string(), archive);
    EXPECT_EQ(archiveOpened, c.archiveOpened);
    if (!c.archiveOpened) {
      EXPECT_EQ(describe(archive), before);
    }
    EXPECT_EQ(describe(input + ".victim"), victimBefore);
  }
}

TEST(CompressFileTest, ArchiveThatCannotBeCreatedGivesEacces) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to uid 65534 for a permission check";
  TempDir dir;  // root's, mode 0755: uid 65534 may read the input but not add the archive
  const std::string input = dir / "zarvo-access-2.log";
  writeFile(input, "line\n");
  ASSERT_EQ(chmod(input.c_str(), 0644), 0);
  ASSERT_EQ(chown(input.c_str(), 65534, 65534), 0);  // its own file, in a directory it cannot write
  const auto report = zarvo::test::runInChild([&](std::string& note) {
    if (std::string why = zarvo::test::becomeNobody(); !why.empty()) {
      note = why;
      return zarvo::test::kChildCannotRun;
    }
    // Otherwise the input's own EACCES would pass for the archive's.
    if (access(input.c_str(), R_OK) != 0) {
      note = "uid 65534 cannot read the input";
      return 3;
    }
    fs::path output;
    bool archiveOpened = true;
    const std::error_code result = compressFile(input, output, archiveOpened);
    if (result != generic(EACCES)) {
      note = "result " + std::to_string(result.value()) + " in " + result.category().name();
      return 1;
    }
    if (archiveOpened) {
      note = "archiveOpened is true";
      return 2;
    }
    return 0;
  });
  if (report.status == zarvo::test::kChildCannotRun) GTEST_SKIP() << report.note;
  EXPECT_EQ(report.status, 0) << report.note;
  EXPECT_FALSE(exists(input + ".gz"));
}

TEST(CompressFileTest, ADeviceAtTheTemporaryIsRefusedAndLeftAlone) {
  TempDir dir;
  const std::string input = dir / "zarvo-access-4.log";
  writeFile(input, logText(5000));
  // A null device would take every byte and then fail the sync.
  const std::string partial = zarvo::temporaryArchivePath(input + ".gz").string();
  if (mknod(partial.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot make a device node: " << std::strerror(errno);
  const int fd = open(partial.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "device nodes cannot be opened here: " << std::strerror(errno);
  close(fd);
  fs::path output;
  bool archiveOpened = false;
  EXPECT_EQ(compressFile(input, output, archiveOpened), zarvo::notRegularFile());
  EXPECT_FALSE(archiveOpened);
  struct stat status;
  EXPECT_TRUE(lstat(partial.c_str(), &status) == 0 && S_ISCHR(status.st_mode));
  EXPECT_EQ(readFile(input), logText(5000));
  EXPECT_FALSE(exists(input + ".gz")) << "an archive that is not durable never takes its name";
}

// In the child: a private mount namespace with a 64 KiB tmpfs on dir.
std::string mountSmallTmpfs(const std::string& dir) {
  if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("making / private: ") + std::strerror(errno);
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0)
    return std::string("mounting tmpfs: ") + std::strerror(errno);
  return "";
}

bool putFile(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && written;
}

// Compresses input; "" when the result is a proper full-disk failure.
std::string fullDiskFailure(const std::string& input) {
  fs::path output;
  bool archiveOpened = false;
  const std::error_code result = compressFile(input, output, archiveOpened);
  unlink(output.c_str());
  unlink(zarvo::temporaryArchivePath(output).c_str());
  const std::string what = input + ": result " + std::to_string(result.value()) + " (" +
                           result.message() + ") in " + result.category().name();
  if (result.value() == 0) return what + ", reported as success\n";
  // The first error of the device: a write the stream layer absorbed while
  // it synced is followed by EIO on the failed sink.
  if (result != generic(ENOSPC)) return what + "\n";
  if (!archiveOpened) return what + ", archiveOpened false\n";
  return "";
}

TEST(CompressFileTest, FullDiskIsNeverASuccess) {
  TempDir dir;
  const std::string small = dir / "small";
  ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
  // Incompressible, so every archive is larger than its input.
  const std::string big = randomBytes(200000, 2);
  writeFile(dir / "big.log", big);
  const std::string noise = randomBytes(64 * 1024, 3);
  const auto report = zarvo::test::runInChild([&](std::string& note) {
    if (std::string why = mountSmallTmpfs(small); !why.empty()) {
      note = why;
      return zarvo::test::kChildCannotRun;
    }
    // An input elsewhere, mounted on a name of the small file system (a
    // link there would be refused as no file of the writer's).
    const std::string linked = small + "/zarvo-access-1.log";
    if (!putFile(linked, "") ||
        mount((dir / "big.log").c_str(), linked.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      note = std::string("bind mount failed: ") + std::strerror(errno);
      return 1;
    }
    note += fullDiskFailure(linked);
    umount(linked.c_str());
    unlink(linked.c_str());
    // Inputs on the small file system itself: input and archive cannot both
    // fit, and the space runs out at a different point of the archive each time.
    const std::string input = small + "/zarvo-access-2.log";
    for (size_t size = 33000; size <= 63000; size += 997) {
      if (!putFile(input, noise.substr(0, size))) {
        note += "cannot write an input of " + std::to_string(size) + " bytes\n";
        return 1;
      }
      note += fullDiskFailure(input);
    }
    return note.empty() ? 0 : 1;
  });
  if (report.status == zarvo::test::kChildCannotRun) GTEST_SKIP() << report.note;
  EXPECT_EQ(report.status, 0) << report.note;
}

}  // namespace

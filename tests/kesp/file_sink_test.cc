#include "kesp/file_sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/forked_child.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace {

using zarvo::test::exists;
using zarvo::test::readFile;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

std::error_code generic(int value) { return std::error_code(value, std::generic_category()); }

// Larger than any stdio buffer, so fwrite hands it to write(2) at once.
const std::string kLargeBlock(1 << 17, 'x');

TEST(KespFileSinkTest, WritesAndTruncatesAnExistingFile) {
  TempDir dir;
  const std::string path = dir / "out.gz";
  writeFile(path, std::string(50000, 'o'));
  Kesp::FileSink sink;
  EXPECT_EQ(sink.open(path.c_str()), std::error_code());
  std::error_code ec;
  EXPECT_EQ(sink.write("hello ", 6, ec), 6);
  EXPECT_EQ(sink.write("world", 5, ec), 5);
  EXPECT_EQ(ec.value(), 0) << ec.message();
  EXPECT_EQ(sink.flush(), std::error_code());
  EXPECT_EQ(readFile(path), "hello world");
  EXPECT_EQ(sink.sync(), std::error_code());
}

TEST(KespFileSinkTest, NotOpenSinkGivesEio) {
  TempDir dir;
  Kesp::FileSink fresh;
  Kesp::FileSink failed;
  EXPECT_EQ(failed.open((dir / "no/such/dir.gz").c_str()), generic(ENOENT));
  for (Kesp::FileSink* sink : {&fresh, &failed}) {
    std::error_code ec;
    EXPECT_EQ(sink->write("abc", 3, ec), 0);
    EXPECT_EQ(ec, generic(EIO));
    EXPECT_EQ(sink->flush(), generic(EIO));
    EXPECT_EQ(sink->sync(), generic(EIO));
  }
}

TEST(KespFileSinkTest, FullDeviceAtWriteFailsThenGivesEio) {
  Kesp::FileSink sink;
  ASSERT_EQ(sink.open("/dev/full"), std::error_code());
  std::error_code ec;
  EXPECT_EQ(sink.write(kLargeBlock.data(), static_cast<int>(kLargeBlock.size()), ec), 0);
  EXPECT_EQ(ec, generic(ENOSPC));
  std::error_code later;
  EXPECT_EQ(sink.write("abc", 3, later), 0);
  EXPECT_EQ(later, generic(EIO));
  EXPECT_EQ(sink.flush(), generic(EIO));
}

TEST(KespFileSinkTest, FullDeviceAtFlushFailsThenGivesEio) {
  Kesp::FileSink sink;
  ASSERT_EQ(sink.open("/dev/full"), std::error_code());
  std::error_code ec;
  EXPECT_EQ(sink.write("abc", 3, ec), 3);  // still in the stdio buffer
  EXPECT_EQ(ec.value(), 0);
  EXPECT_EQ(sink.flush(), generic(ENOSPC));
  EXPECT_EQ(sink.flush(), generic(EIO));
  EXPECT_EQ(sink.write("abc", 3, ec), 0);
  EXPECT_EQ(ec, generic(EIO));
}

TEST(KespFileSinkTest, SyncReportsTheFirstFailureOnce) {
  {
    SCOPED_TRACE("fflush fails");
    Kesp::FileSink sink;
    ASSERT_EQ(sink.open("/dev/full"), std::error_code());
    std::error_code ec;
    EXPECT_EQ(sink.write("abc", 3, ec), 3);
    EXPECT_EQ(sink.sync(), generic(ENOSPC));
    EXPECT_EQ(sink.sync(), generic(EIO));
  }
  {
    SCOPED_TRACE("fsync fails");  // a character device cannot be synced
    Kesp::FileSink sink;
    ASSERT_EQ(sink.open("/dev/null"), std::error_code());
    std::error_code ec;
    EXPECT_EQ(sink.write("abc", 3, ec), 3);
    EXPECT_EQ(sink.flush(), std::error_code());
    EXPECT_EQ(sink.sync(), generic(EINVAL));
    EXPECT_EQ(sink.sync(), generic(EIO));
    EXPECT_EQ(sink.write("abc", 3, ec), 0);
    EXPECT_EQ(ec, generic(EIO));
  }
}

TEST(KespFileSinkTest, RefusesALinkAtItsPath) {
  struct LinkCase {
    const char* name;
    bool targetExists;
  };
  for (const LinkCase& c : {LinkCase{"link to a file", true}, LinkCase{"dangling", false}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string victim = dir / "victim";
    const std::string link = dir / "out.gz";
    if (c.targetExists) writeFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0) << std::strerror(errno);
    Kesp::FileSink sink;
    EXPECT_EQ(sink.open(link.c_str()), generic(ELOOP));
    if (c.targetExists) {
      EXPECT_EQ(readFile(victim), "precious");
    } else {
      EXPECT_FALSE(exists(victim));
    }
    EXPECT_EQ(zarvo::test::readLink(link), victim);
  }
}

TEST(KespFileSinkTest, ReadOnlyDirectoryGivesEacces) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to uid 65534 for a permission check";
  TempDir dir;  // root's, mode 0755: searchable but not writable by uid 65534
  const std::string path = dir / "out.gz";
  const auto report = zarvo::test::runInChild([&](std::string& note) {
    if (std::string why = zarvo::test::becomeNobody(); !why.empty()) {
      note = why;
      return zarvo::test::kChildCannotRun;
    }
    // Otherwise a missing search permission would give the same EACCES.
    if (access(dir.path().c_str(), X_OK) != 0) {
      note = "uid 65534 cannot search the directory";
      return 2;
    }
    Kesp::FileSink sink;
    const std::error_code opened = sink.open(path.c_str());
    if (opened == generic(EACCES)) return 0;
    note = "open gave " + std::to_string(opened.value()) + " in " + opened.category().name();
    return 1;
  });
  if (report.status == zarvo::test::kChildCannotRun) GTEST_SKIP() << report.note;
  EXPECT_EQ(report.status, 0) << report.note;
  EXPECT_FALSE(exists(path));
}

}  // namespace

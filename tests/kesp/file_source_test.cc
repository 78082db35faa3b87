#include "kesp/file_source.h"

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace {

using zarvo::test::TempDir;
using zarvo::test::writeFile;

std::error_code generic(int value) { return std::error_code(value, std::generic_category()); }

std::string bytesOfSize(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

struct ReadCase {
  size_t fileSize;
  std::vector<int> results;  // of successive reads of 4096
};

TEST(KespFileSourceTest, ReadsBlocksThenReportsTheEnd) {
  const ReadCase cases[] = {
      {10000, {4096, 4096, 1808, -1, -1}},
      {4096, {4096, 0, -1, -1}},  // the end is found by the second fread
      {0, {0, -1, -1}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE("file of " + std::to_string(c.fileSize) + " bytes");
    TempDir dir;
    const std::string content = bytesOfSize(c.fileSize);
    writeFile(dir / "in.log", content);
    Kesp::FileSource source;
    const std::error_code opened = source.open((dir / "in.log").c_str());
    EXPECT_EQ(opened, std::error_code());
    std::string got;
    for (int expected : c.results) {
      char buffer[4096];
      std::error_code ec;
      const int n = source.read(buffer, sizeof buffer, ec);
      ASSERT_EQ(n, expected);
      EXPECT_EQ(ec.value(), 0) << ec.message();
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, content);
  }
}

TEST(KespFileSourceTest, MissingFileGivesEnoentThenEio) {
  TempDir dir;
  Kesp::FileSource source;
  EXPECT_EQ(source.open((dir / "missing.log").c_str()), generic(ENOENT));
  char buffer[16];
  std::error_code ec;
  EXPECT_EQ(source.read(buffer, sizeof buffer, ec), -1);
  EXPECT_EQ(ec, generic(EIO));
}

TEST(KespFileSourceTest, ReadErrorSticksUntilTheNextOpen) {
  TempDir dir;
  writeFile(dir / "good.log", "abc");
  Kesp::FileSource source;
  // A directory opens for reading, but fread fails on it.
  EXPECT_EQ(source.open(dir.path().c_str()), std::error_code());
  char buffer[16];
  std::error_code first;
  EXPECT_EQ(source.read(buffer, sizeof buffer, first), -1);
  EXPECT_EQ(first, generic(EISDIR));
  for (int i = 0; i < 2; ++i) {
    std::error_code later;
    EXPECT_EQ(source.read(buffer, sizeof buffer, later), -1);
    EXPECT_EQ(later, generic(EIO)) << "read " << i + 2;
  }

  EXPECT_EQ(source.open((dir / "good.log").c_str()), std::error_code());
  std::error_code ec;
  EXPECT_EQ(source.read(buffer, sizeof buffer, ec), 3);
  EXPECT_EQ(ec.value(), 0);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

}  // namespace

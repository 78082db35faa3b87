// The texts the reader takes from its command line and its cursor file:
// cursors, and the times of --since and --until, which must agree with the
// time a record's prefix shows. And the reader over a listing of its
// directory that misses a name once, as one taken while a file moves to
// its archive can: the link wraps listDirectory (tests/reader/CMakeLists.txt).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "reader/cursor.h"
#include "reader/directory_listing.h"
#include "reader/log_reader.h"
#include "reader/output.h"
#include "reader/time_range.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace zarvo {

// Call number `missedCall` of listDirectory leaves out number `missed`.
int listings = 0, missedCall = 0;
uint64_t missed = 0;
Listing realListing(const boost::filesystem::path& directory, boost::system::error_code& error)
    __asm__("__real__ZN5zarvo13listDirectoryERKN5boost10filesystem4pathERNS0_6system10error_codeE");
Listing missingOnce(const boost::filesystem::path& directory, boost::system::error_code& error)
    __asm__("__wrap__ZN5zarvo13listDirectoryERKN5boost10filesystem4pathERNS0_6system10error_codeE");
Listing missingOnce(const boost::filesystem::path& directory, boost::system::error_code& error) {
  Listing listing = realListing(directory, error);
  if (++listings == missedCall) listing.erase(missed);
  return listing;
}

namespace {

constexpr uint64_t kMax = UINT64_MAX;

TEST(ReaderParsers, CursorsAndTimes) {
  const struct {
    const char* text;
    std::optional<Cursor> cursor;
  } cursors[] = {
      {"17:40960", Cursor{17, 40960}},
      {"1:0", Cursor{1, 0}},
      {"007:08", Cursor{7, 8}},
      {"18446744073709551615:18446744073709551615", Cursor{kMax, kMax}},
      {"18446744073709551616:0", std::nullopt},
      {"1:18446744073709551616", std::nullopt},
      {"0:5", std::nullopt},
      {"17", std::nullopt},
      {"17:", std::nullopt},
      {":5", std::nullopt},
      {"17:4x", std::nullopt},
      {"+1:2", std::nullopt},
      {" 1:2", std::nullopt},
      {"1:2:3", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& row : cursors) {
    const std::optional<Cursor> parsed = parseCursor(row.text);
    EXPECT_EQ(parsed.has_value(), row.cursor.has_value()) << row.text;
    if (parsed && row.cursor) {
      EXPECT_TRUE(*parsed == *row.cursor) << row.text;
      // Written back without the leading zeros.
      if (row.text[0] != '0') {
        EXPECT_EQ(formatCursor(*parsed), row.text);
      }
    }
  }

  const int64_t now = 1796892645025;  // 2026-12-10T08:50:45.025Z
  const struct {
    const char* text;
    std::optional<int64_t> millis;
  } times[] = {
      {"2026-12-10T08:50:45.025Z", now},
      {"2026-12-10T08:50:45Z", now - 25},
      {"2026-12-10T08:50:45", now - 25},
      {"2026-12-10 08:50:45", now - 25},
      {"2026-12-10 08:50:45.5", now + 475},
      {"2026-12-10T08:50:45.02599Z", now},
      {"1970-01-01T00:00:00.000Z", 0},
      {"1969-12-31T23:59:59.999Z", -1},
      {"2024-02-29T00:00:00Z", 1709164800000},
      {"-15min", now - 15 * 60000},
      {"-2h", now - 2 * 3600000},
      {"-1d", now - 86400000},
      {"-30s", now - 30000},
      {"2026-02-29T00:00:00", std::nullopt},
      {"2026-13-01 00:00:00", std::nullopt},
      {"2026-12-10T24:00:00", std::nullopt},
      {"2026-12-10T08:60:00", std::nullopt},
      {"2026-12-10", std::nullopt},
      {"2026-12-10T08:50:45.Z", std::nullopt},
      {"2026-12-10T08:50:45ZZ", std::nullopt},
      {"2026-12-10T08:50:45+01:00", std::nullopt},
      {"-15", std::nullopt},
      {"-15m", std::nullopt},
      {"15min", std::nullopt},
      {"-min", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& row : times) {
    EXPECT_EQ(parseTimeArgument(row.text, now), row.millis) << row.text;
    // A prefix's timestamp reads as the same time.
    if (std::string(row.text).size() == 24 && row.millis) {
      EXPECT_EQ(timestampMillis(row.text), *row.millis) << row.text;
    }
  }
}

// A number is passed over only once a second listing agrees: at the
// start, with -n beyond what is stored, and between two files.
TEST(ReaderListing, ANameOneListingMissedIsNeitherAGapNorSkipped) {
  test::TempDir dir;
  // One record per file: 1 to 3, then 4 with none.
  ASSERT_EQ(test::run(test::writer({dir.path().string(), "100", "0"}), "line 1\nline 2\nline 3\n").status, 0);
  const struct {
    uint64_t missed;
    std::optional<uint64_t> count;
  } rows[] = {{1, std::nullopt}, {1, 10}, {2, std::nullopt}};
  for (const auto& row : rows) {
    ReaderOptions options;
    options.directory = dir.path();
    options.raw = true;
    options.count = row.count;
    const int fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Output out(fd);
    listings = 0, missedCall = 1, missed = row.missed;
    EXPECT_EQ(LogReader(options, out).run(), 0) << row.missed;
    close(fd);
    EXPECT_EQ(test::readFile(dir / "out"), "line 1\nline 2\nline 3\n") << row.missed;
  }
}

}  // namespace
}  // namespace zarvo

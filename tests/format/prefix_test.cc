#include <unistd.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "format/file_header.h"
#include "format/line_prefix.h"
#include "format/timestamp.h"
#include "tests/support/log_file.h"

namespace zarvo {
namespace {

std::string timestampOf(ClockReading reading) {
  std::ostringstream out;
  formatTimestamp(out, reading);
  return out.str();
}

std::string text(const LinePrefix& prefix) { return std::string(prefix.data(), prefix.size()); }

std::string threadId() {
  std::ostringstream out;
  out << std::this_thread::get_id();
  return out.str();
}

TEST(FormatTimestamp, WritesUtcWithPaddedMillisAndClampsWildClocks) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    ClockReading reading;
    const char* expected;
  } cases[] = {
      {{0, 0}, "1970-01-01T00:00:00.000Z"},
      {{1796714791, 45}, "2026-12-08T07:26:31.045Z"},
      {{1796714791, 5}, "2026-12-08T07:26:31.005Z"},
      {{951825600, 999}, "2000-02-29T12:00:00.999Z"},
      {{-1, 0}, "1969-12-31T23:59:59.000Z"},
      {{-62167219200, 0}, "0000-01-01T00:00:00.000Z"},
      {{-62167219201, 500}, "0000-01-01T00:00:00.000Z"},
      {{kMin, 1}, "0000-01-01T00:00:00.000Z"},
      {{253402300799, 7}, "9999-12-31T23:59:59.007Z"},
      {{253402300800, 0}, "9999-12-31T23:59:59.999Z"},
      {{kMax, 0}, "9999-12-31T23:59:59.999Z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(timestampOf(c.reading), c.expected) << "seconds " << c.reading.seconds;
  }
}

TEST(LinePrefix, HasTimestampTagThreadIdAndClosingTag) {
  LinePrefix prefix({1796714791, 45});
  std::string expected = "2026-12-08T07:26:31.045Z info zarvo[" + threadId() +
                         "] [Originator@8461 sub=Default] ";
  EXPECT_EQ(text(prefix), expected);
  EXPECT_EQ(prefix.size(), expected.size());
}

TEST(LinePrefix, PatchesOnlyWhatTheClockChanged) {
  LinePrefix prefix({1796714791, 45});
  const std::string first = text(prefix);

  updatePrefix(prefix, {1796714791, 45});
  EXPECT_EQ(text(prefix), first) << "same millisecond";

  updatePrefix(prefix, {1796714791, 52});
  std::string expected = first;
  expected.replace(20, 3, "052");
  EXPECT_EQ(text(prefix), expected) << "7 ms later: digits 20 to 22 only";

  updatePrefix(prefix, {1798761599, 999});
  updatePrefix(prefix, {1798761600, 3});
  expected.replace(0, 24, "2027-01-01T00:00:00.003Z");
  EXPECT_EQ(text(prefix), expected) << "next second, across a year";
}

TEST(LinePrefix, WildClockNeverOverwritesTheTag) {
  LinePrefix prefix({1796714791, 45});
  const std::string tail = text(prefix).substr(24);
  for (int64_t seconds : {std::numeric_limits<int64_t>::max(), int64_t{-99999999999999},
                          int64_t{0}, std::numeric_limits<int64_t>::min()}) {
    updatePrefix(prefix, {seconds, 123});
    EXPECT_EQ(text(prefix).substr(24), tail) << "seconds " << seconds;
    EXPECT_EQ(text(prefix)[23], 'Z');
  }
}

TEST(FileHeader, IsSectionLineThenFormatLine) {
  std::string header = writeHeader({1796714791, 45}, {1796714791, 46});
  std::string expected = "2026-12-08T07:26:31.045Z Section for Quvane Lanternharbor, pid=" +
                         std::to_string(getpid()) +
                         ", version=3.8.1, build=13572468, option=Release\n"
                         "2026-12-08T07:26:31.046Z info zarvo[" +
                         threadId() + "] [Originator@8461 sub=Default] " + test::kFormatText;
  EXPECT_EQ(header, expected);
  EXPECT_EQ(std::string(test::kFormatText).size(), 329u);
}

// A leftover that holds nothing else is removed at start-up: anything that
// may be more than a bare header must not pass.
TEST(FileHeader, IsRecognisedOnlyWhenBare) {
  const std::string header = writeHeader({1796714791, 45}, {1796714791, 46});
  const std::string otherTimes = writeHeader({0, 0}, {253402300799, 999});
  std::string otherVersion = header;
  otherVersion.replace(otherVersion.find("3.8.1"), 5, "3.8.2");
  std::string badTime = header;
  badTime[4] = '/';
  const std::pair<std::string, bool> cases[] = {
      {header, true},
      {otherTimes, true},
      {header.substr(0, header.size() - 1), false},  // cut short
      {header.substr(0, header.find('\n') + 1), false},
      {header + "2026-12-08T07:26:31.047Z", false},  // a record begins
      {header + header, false},
      {otherVersion, false},
      {badTime, false},
      {"", false},
  };
  for (const auto& [bytes, bare] : cases) EXPECT_EQ(isBareHeader(bytes), bare) << bytes;
}

}  // namespace
}  // namespace zarvo

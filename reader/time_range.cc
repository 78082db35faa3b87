#include "reader/time_range.h"

#include <cstddef>

namespace zarvo {
namespace {

constexpr int64_t kMillisPerSecond = 1000;
constexpr int64_t kMillisPerDay = 86400 * kMillisPerSecond;

// Days from 1970-01-01 to year-month-day of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int daysInMonth(int64_t year, int64_t month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads exactly `width` digits at text[at], moving at past them.
std::optional<int64_t> fixedDigits(std::string_view text, std::size_t& at, std::size_t width) {
  if (text.size() < at + width) return std::nullopt;
  int64_t value = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  at += width;
  return value;
}

bool expect(std::string_view text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

std::optional<int64_t> absoluteTime(std::string_view text) {
  std::size_t at = 0;
  std::optional<int64_t> year = fixedDigits(text, at, 4);
  if (!year || !expect(text, at, '-')) return std::nullopt;
  std::optional<int64_t> month = fixedDigits(text, at, 2);
  if (!month || *month < 1 || *month > 12 || !expect(text, at, '-')) return std::nullopt;
  std::optional<int64_t> day = fixedDigits(text, at, 2);
  if (!day || *day < 1 || *day > daysInMonth(*year, *month)) return std::nullopt;
  if (!expect(text, at, 'T') && !expect(text, at, ' ')) return std::nullopt;
  std::optional<int64_t> hour = fixedDigits(text, at, 2);
  if (!hour || *hour > 23 || !expect(text, at, ':')) return std::nullopt;
  std::optional<int64_t> minute = fixedDigits(text, at, 2);
  if (!minute || *minute > 59 || !expect(text, at, ':')) return std::nullopt;
  std::optional<int64_t> second = fixedDigits(text, at, 2);
  if (!second || *second > 59) return std::nullopt;
  int64_t millis = 0;
  if (expect(text, at, '.')) {
    const std::size_t first = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
      if (at - first < 3) millis = millis * 10 + (text[at] - '0');
    if (at == first) return std::nullopt;
    for (std::size_t n = at - first; n < 3; ++n) millis *= 10;
  }
  expect(text, at, 'Z');
  if (at != text.size()) return std::nullopt;
  return daysFromCivil(*year, *month, *day) * kMillisPerDay +
         ((*hour * 60 + *minute) * 60 + *second) * kMillisPerSecond + millis;
}

std::optional<int64_t> relativeTime(std::string_view text, int64_t nowMillis) {
  if (text.size() < 3 || text[0] != '-') return std::nullopt;
  std::size_t at = 1;
  int64_t count = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    count = count * 10 + (text[at] - '0');
    if (count > 1000000000) return std::nullopt;  // no further back than the calendar goes
  }
  if (at == 1) return std::nullopt;
  const std::string_view unit = text.substr(at);
  int64_t millisPerUnit;
  if (unit == "s" || unit == "sec") millisPerUnit = kMillisPerSecond;
  else if (unit == "min") millisPerUnit = 60 * kMillisPerSecond;
  else if (unit == "h") millisPerUnit = 3600 * kMillisPerSecond;
  else if (unit == "d") millisPerUnit = kMillisPerDay;
  else return std::nullopt;
  return nowMillis - count * millisPerUnit;
}

}  // namespace

std::optional<int64_t> parseTimeArgument(std::string_view text, int64_t nowMillis) {
  if (!text.empty() && text[0] == '-') return relativeTime(text, nowMillis);
  return absoluteTime(text);
}

int64_t timestampMillis(const char* text) {
  auto number = [text](std::size_t at, std::size_t width) {
    int64_t value = 0;
    for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  return daysFromCivil(number(0, 4), number(5, 2), number(8, 2)) * kMillisPerDay +
         ((number(11, 2) * 60 + number(14, 2)) * 60 + number(17, 2)) * kMillisPerSecond +
         number(20, 3);
}

}  // namespace zarvo

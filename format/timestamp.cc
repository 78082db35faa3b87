#include "format/timestamp.h"

#include <sys/time.h>

#include <ctime>
#include <ostream>

namespace zarvo {
namespace {

// 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
constexpr int64_t kFirstSecond = -62167219200;
constexpr int64_t kLastSecond = 253402300799;

void digits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

ClockReading readClock() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return {static_cast<int64_t>(tv.tv_sec), static_cast<int64_t>(tv.tv_usec / 1000)};
}

ClockReading clampToPrintable(ClockReading reading) {
  if (reading.seconds < kFirstSecond) return {kFirstSecond, 0};
  if (reading.seconds > kLastSecond) return {kLastSecond, 999};
  return reading;
}

void millisDigits(char* out, int64_t millis) { digits(out, static_cast<int>(millis), 3); }

void timestampDigits(char* out, ClockReading reading) {
  time_t seconds = static_cast<time_t>(reading.seconds);
  tm parts{};
  gmtime_r(&seconds, &parts);
  digits(out, parts.tm_year + 1900, 4);
  out[4] = '-';
  digits(out + 5, parts.tm_mon + 1, 2);
  out[7] = '-';
  digits(out + 8, parts.tm_mday, 2);
  out[10] = 'T';
  digits(out + 11, parts.tm_hour, 2);
  out[13] = ':';
  digits(out + 14, parts.tm_min, 2);
  out[16] = ':';
  digits(out + 17, parts.tm_sec, 2);
  out[19] = '.';
  millisDigits(out + kMillisOffset, reading.millis);
  out[23] = 'Z';
}

void formatTimestamp(std::ostream& stream, ClockReading reading) {
  char text[kTimestampLength];
  timestampDigits(text, clampToPrintable(reading));
  stream.write(text, kTimestampLength);
}

}  // namespace zarvo

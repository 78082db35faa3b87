// A LinePrefix patched by updatePrefix through a sequence of clock readings
// must read, after every step, exactly as a LinePrefix freshly formatted
// from that reading, and its timestamp as the calendar says (computed here
// without gmtime), clamped to the years 0000 to 9999.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "format/line_prefix.h"
#include "tests/fuzz/fuzz_input.h"

using namespace zarvo;
using namespace zarvo::fuzz;

namespace {

// Days since 1970-01-01 to year, month, day in the proleptic Gregorian
// calendar (the era-based method; exact for any int64 second count / 86400).
void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

std::string referenceTimestamp(ClockReading r) {
  int64_t days = r.seconds / 86400, rem = r.seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  int64_t y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  if (y < 0) return "0000-01-01T00:00:00.000Z";
  if (y > 9999) return "9999-12-31T23:59:59.999Z";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(y), m, d,
                static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60),
                static_cast<int>(rem % 60), static_cast<int>(r.millis));
  return text;
}

// Mostly within some thousands of years of 1970, sometimes anywhere.
int64_t anySecond(uint8_t how, int64_t raw) { return how & 0x40 ? raw : raw % (int64_t{1} << 38); }

// The next reading: the same second, a step of a few seconds either way, a
// jump by up to 68 years, or any second; the same or new milliseconds.
ClockReading nextReading(FuzzInput& in, ClockReading last) {
  const uint8_t how = in.take<uint8_t>();
  const int64_t raw = in.take<int64_t>();
  ClockReading r{last.seconds, static_cast<int64_t>(in.take<uint16_t>() % 1000)};
  int64_t step = 0;
  switch (how % 4) {
    case 0: break;
    case 1: step = static_cast<int8_t>(raw); break;
    case 2: step = static_cast<int32_t>(raw); break;
    default: r.seconds = anySecond(how, raw); break;
  }
  if (__builtin_add_overflow(r.seconds, step, &r.seconds)) r.seconds = last.seconds;
  if (how & 0x80) r.millis = last.millis;
  return r;
}

std::string text(const LinePrefix& p) { return std::string(p.data(), p.size()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  std::ostringstream thread;
  thread << std::this_thread::get_id();
  const std::string tail = " info zarvo[" + thread.str() + "] [Originator@8461 sub=Default] ";

  const uint8_t how = in.take<uint8_t>();
  ClockReading reading{anySecond(how, in.take<int64_t>()),
                       static_cast<int64_t>(in.take<uint16_t>() % 1000)};
  LinePrefix patched(reading);
  const size_t length = patched.size();
  for (int step = 0; step < 64; ++step) {
    const std::string want = referenceTimestamp(reading) + tail;
    check(text(patched) == want, "prefix after the update",
          std::to_string(reading.seconds) + "." + std::to_string(reading.millis) + ": " +
              text(patched) + " want " + want);
    const LinePrefix fresh(reading);
    check(text(fresh) == text(patched), "patched equals fresh", text(fresh));
    if (in.empty()) break;
    ClockReading next = nextReading(in, reading);
    updatePrefix(patched, next);
    reading = next;
    check(patched.size() == length, "length stays");
  }
  return 0;
}

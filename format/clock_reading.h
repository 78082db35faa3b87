#pragma once
// One reading of the wall clock, as the prefix and the header show it.
// Only the record loop and the header read the clock; formatting takes the
// reading as an argument so that tests can check exact bytes.
#include <cstdint>

namespace zarvo {

struct ClockReading {
  int64_t seconds;  // since the epoch, UTC
  int64_t millis;   // 0 to 999, truncated from the microseconds
};

ClockReading readClock();

}  // namespace zarvo

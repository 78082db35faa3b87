#pragma once
// The 24-character UTC timestamp that opens every prefix and header line:
// YYYY-MM-DDTHH:MM:SS.mmmZ.
#include <cstddef>
#include <iosfwd>

#include "format/clock_reading.h"

namespace zarvo {

constexpr std::size_t kTimestampLength = 24;
constexpr std::size_t kMillisOffset = 20;  // first millisecond digit

// A reading moved into years 0000 to 9999, so the text keeps its width
// whatever the clock says.
ClockReading clampToPrintable(ClockReading reading);

// Writes exactly kTimestampLength bytes at out; the reading must be clamped.
void timestampDigits(char* out, ClockReading reading);
// Writes the three millisecond digits at out.
void millisDigits(char* out, int64_t millis);

void formatTimestamp(std::ostream& stream, ClockReading reading);

}  // namespace zarvo

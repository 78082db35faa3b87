#include "format/line_prefix.h"

#include <thread>

#include "format/record_layout.h"
#include "format/timestamp.h"

namespace zarvo {

void formatPrefix(std::ostream& stream, ClockReading reading) {
  formatTimestamp(stream, reading);
  stream << kSeverityTag << std::this_thread::get_id() << kClosingTag;
}

LinePrefix::LinePrefix(ClockReading reading) : put(buffer, sizeof buffer) {
  reading = clampToPrintable(reading);
  std::ostream stream(&put);
  formatPrefix(stream, reading);
  length = put.written();
  cachedSeconds = reading.seconds;
  cachedMillis = reading.millis;
}

void updatePrefix(LinePrefix& prefix, ClockReading reading) {
  reading = clampToPrintable(reading);
  if (reading.seconds != prefix.cachedSeconds) {
    timestampDigits(prefix.buffer, reading);
  } else if (reading.millis != prefix.cachedMillis) {
    millisDigits(prefix.buffer + kMillisOffset, reading.millis);
  }
  prefix.cachedSeconds = reading.seconds;
  prefix.cachedMillis = reading.millis;
}

}  // namespace zarvo

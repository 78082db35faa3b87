#pragma once
// The two lines that open every log file: a section line naming the product,
// the process and the build, then a record-shaped line holding the access-log
// format text. Called by the thread that opens the file.
#include <string>
#include <string_view>

#include "format/clock_reading.h"

namespace zarvo {

// Both lines, each with its own clock reading.
std::string writeHeader();
std::string writeHeader(ClockReading sectionLine, ClockReading formatLine);

// True when bytes are exactly the two lines writeHeader makes, whatever the
// times, pid and thread id: a file that holds no record.
bool isBareHeader(std::string_view bytes);

}  // namespace zarvo

#include "format/file_header.h"

#include <unistd.h>

#include <sstream>

#include "format/line_prefix.h"
#include "format/product.h"
#include "format/timestamp.h"

namespace zarvo {

std::string writeHeader() {
  ClockReading first = readClock();
  return writeHeader(first, readClock());
}

std::string writeHeader(ClockReading sectionLine, ClockReading formatLine) {
  std::ostringstream out;
  formatTimestamp(out, sectionLine);
  out << " Section for Quvane Lanternharbor, pid=" << getpid() << ", version=" << kProductVersion
      << ", build=" << kProductBuild << ", option=" << kProductOption << std::endl;
  formatPrefix(out, formatLine);
  out << kAccessLogFormat;
  return out.str();
}

}  // namespace zarvo

#include "format/file_header.h"

#include <unistd.h>

#include <new>
#include <sstream>

#include "format/line_prefix.h"
#include "format/product.h"
#include "format/record_layout.h"
#include "format/timestamp.h"

namespace zarvo {

std::string writeHeader() {
  ClockReading first = readClock();
  return writeHeader(first, readClock());
}

std::string writeHeader(ClockReading sectionLine, ClockReading formatLine) {
  std::ostringstream out;
  formatTimestamp(out, sectionLine);
  out << kSectionText << getpid() << ", version=" << kProductVersion
      << ", build=" << kProductBuild << ", option=" << kProductOption << std::endl;
  formatPrefix(out, formatLine);
  out << kAccessLogFormat;
  // A stream swallows the bad_alloc of a growing buffer and only sets
  // badbit; a header cut short would make the file unreadable.
  if (!out) throw std::bad_alloc();
  return out.str();
}

}  // namespace zarvo

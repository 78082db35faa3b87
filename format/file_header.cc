#include "format/file_header.h"

#include <unistd.h>

#include <new>
#include <sstream>

#include "format/line_prefix.h"
#include "format/product.h"
#include "format/record_layout.h"
#include "format/timestamp.h"

namespace zarvo {
namespace {

// Reads a header from the front, one expected piece at a time.
class HeaderReader {
 public:
  explicit HeaderReader(std::string_view bytes) : rest_(bytes) {}

  bool text(std::string_view expected) {
    if (rest_.substr(0, expected.size()) != expected) return false;
    rest_.remove_prefix(expected.size());
    return true;
  }
  bool number() {
    std::size_t n = 0;
    while (n < rest_.size() && rest_[n] >= '0' && rest_[n] <= '9') ++n;
    rest_.remove_prefix(n);
    return n > 0;
  }
  bool timestamp() {
    if (rest_.size() < kTimestampLength || !isTimestampShaped(rest_.data())) return false;
    rest_.remove_prefix(kTimestampLength);
    return true;
  }
  bool atEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace

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

bool isBareHeader(std::string_view bytes) {
  HeaderReader in(bytes);
  return in.timestamp() && in.text(kSectionText) && in.number() &&
         in.text(", version=") && in.text(kProductVersion) && in.text(", build=") &&
         in.text(kProductBuild) && in.text(", option=") && in.text(kProductOption) &&
         in.text("\n") && in.timestamp() && in.text(kSeverityTag) && in.number() &&
         in.text(kClosingTag) && in.text(kAccessLogFormat) && in.atEnd();
}

}  // namespace zarvo

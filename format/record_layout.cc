#include "format/record_layout.h"

#include "format/product.h"
#include "format/timestamp.h"

namespace zarvo {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool isTimestampShaped(const char* text) {
  // YYYY-MM-DDTHH:MM:SS.mmmZ
  static constexpr char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ";
  for (std::size_t i = 0; i < kTimestampLength; ++i) {
    if (kShape[i] == 'd' ? !isDigit(text[i]) : text[i] != kShape[i]) return false;
  }
  return true;
}

std::size_t prefixLength(std::string_view text) {
  if (text.size() < kTimestampLength || !isTimestampShaped(text.data())) return 0;
  std::string_view rest = text.substr(kTimestampLength);
  if (rest.substr(0, kSeverityTag.size()) != kSeverityTag) return 0;
  rest.remove_prefix(kSeverityTag.size());
  std::size_t digits = 0;
  while (digits < rest.size() && isDigit(rest[digits])) ++digits;
  if (digits == 0 || rest.substr(digits, kClosingTag.size()) != kClosingTag) return 0;
  return kTimestampLength + kSeverityTag.size() + digits + kClosingTag.size();
}

bool isSectionLine(std::string_view line) {
  return line.size() > kTimestampLength + kSectionText.size() && line.back() == '\n' &&
         isTimestampShaped(line.data()) &&
         line.substr(kTimestampLength, kSectionText.size()) == kSectionText;
}

std::size_t formatLinePrefixLength(std::string_view line) {
  constexpr std::string_view format = kAccessLogFormat;
  if (line.size() < format.size() || line.substr(line.size() - format.size()) != format) return 0;
  std::size_t length = prefixLength(line);
  return length == line.size() - format.size() ? length : 0;
}

}  // namespace zarvo

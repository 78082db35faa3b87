#pragma once
// The fixed texts of a stored record and of the header lines, shared by the
// code that writes them and the code that reads them back, and the checks a
// reader applies. A record is a prefix followed by one chunk: a line with
// its newline, a kMaxChunkSize-byte piece of a longer line, or a last line
// without newline.
#include <cstddef>
#include <string_view>

namespace zarvo {

constexpr std::size_t kMaxChunkSize = 2047;

constexpr std::string_view kSeverityTag = " info zarvo[";
constexpr std::string_view kClosingTag = "] [Originator@8461 sub=Default] ";
constexpr std::string_view kSectionText = " Section for Quvane Lanternharbor, pid=";

// True when the first 24 bytes of text have the timestamp's shape.
bool isTimestampShaped(const char* text);

// The length of the record prefix at the start of text, or 0 when text does
// not start with a whole one.
std::size_t prefixLength(std::string_view text);

// True when line (with its newline) is a header's first line.
bool isSectionLine(std::string_view line);
// The prefix length shown by a header's second line (with its newline), or
// 0 when line is not one.
std::size_t formatLinePrefixLength(std::string_view line);

}  // namespace zarvo

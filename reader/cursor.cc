#include "reader/cursor.h"

#include <unistd.h>

#include <limits>

#include "filestore/messages.h"

namespace zarvo {

std::optional<uint64_t> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

namespace {

std::size_t digits(char* out, uint64_t value) {
  char reversed[20];
  std::size_t n = 0;
  do reversed[n++] = static_cast<char>('0' + value % 10);
  while ((value /= 10) != 0);
  for (std::size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return n;
}

}  // namespace

std::optional<Cursor> parseCursor(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::optional<uint64_t> file = parseDecimal(text.substr(0, colon));
  std::optional<uint64_t> offset = parseDecimal(text.substr(colon + 1));
  if (!file || !offset || *file == 0) return std::nullopt;
  return Cursor{*file, *offset};
}

std::size_t cursorDigits(char* out, const Cursor& cursor) {
  std::size_t n = digits(out, cursor.file);
  out[n++] = ':';
  return n + digits(out + n, cursor.offset);
}

std::string formatCursor(const Cursor& cursor) {
  char text[41];
  return std::string(text, cursorDigits(text, cursor));
}

std::string quotedText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '&') out.push_back('&');
    if (byte >= 0x20 && byte < 0x7f) {
      out.push_back(c);
    } else {
      out.append("\\x", 2);
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out + '"';
}

void cursorError(std::string_view text, std::string_view why) {
  printError("Bad cursor: `", text, why);
  _exit(2);
}

}  // namespace zarvo

#include "reader/json_line.h"

#include <array>
#include <cstring>

namespace zarvo {
namespace {

// Bytes copied as they are into a JSON string: printable ASCII but '"' and '\'.
constexpr std::array<bool, 256> plainTable() {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}
constexpr std::array<bool, 256> kPlain = plainTable();

void appendDecimal(std::string& out, uint64_t value) {
  char text[20];
  std::size_t n = 0;
  do text[n++] = static_cast<char>('0' + value % 10);
  while ((value /= 10) != 0);
  while (n > 0) out.push_back(text[--n]);
}

void appendSigned(std::string& out, int64_t value) {
  if (value < 0) {
    out.push_back('-');
    appendDecimal(out, 0 - static_cast<uint64_t>(value));
  } else {
    appendDecimal(out, static_cast<uint64_t>(value));
  }
}

// The length of the UTF-8 sequence at bytes[at], or 0 when it is not valid.
std::size_t sequenceLength(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, low = lead == 0xE0 ? 0xA0 : 0x80,
                                         high = lead == 0xED ? 0x9F : 0xBF;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, low = lead == 0xF0 ? 0x90 : 0x80,
                                         high = lead == 0xF4 ? 0x8F : 0xBF;
  else return 0;
  if (at + length > bytes.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = at + 2; i < at + length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

// Appends bytes as the inside of a JSON string; false (out then holds part
// of it) when they are not valid UTF-8.
bool appendString(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t run = at;
    while (run < bytes.size() && kPlain[static_cast<unsigned char>(bytes[run])]) ++run;
    out.append(bytes.data() + at, run - at);
    if ((at = run) == bytes.size()) break;
    const unsigned char c = static_cast<unsigned char>(bytes[at]);
    if (c >= 0x80) {
      const std::size_t length = sequenceLength(bytes, at);
      if (length == 0) return false;
      out.append(bytes.data() + at, length);
      at += length;
      continue;
    }
    out.push_back('\\');
    switch (c) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '\n': out.push_back('n'); break;
      case '\t': out.push_back('t'); break;
      case '\r': out.push_back('r'); break;
      default:
        out.append("u00", 3);
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    ++at;
  }
  return true;
}

void appendByteArray(std::string& out, std::string_view bytes) {
  out.push_back('[');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendDecimal(out, static_cast<unsigned char>(bytes[i]));
  }
  out.push_back(']');
}

}  // namespace

void appendJsonLine(std::string& out, const JsonLine& line) {
  char cursor[41];
  out.append("{\"cursor\":\"", 11);
  out.append(cursor, cursorDigits(cursor, line.cursor));
  out.append("\",\"file\":", 9);
  appendDecimal(out, line.cursor.file);
  out.append(",\"time\":\"", 9);
  out.append(line.timestamp, 24);
  out.append("\",\"time_unix_ms\":", 17);
  appendSigned(out, line.timeMillis);
  out.append(",\"line\":\"", 9);
  const std::size_t start = out.size();
  if (appendString(out, line.bytes)) {
    out.append("\"}\n", 3);
    return;
  }
  out.resize(start - 1);  // back to before the opening quote
  appendByteArray(out, line.bytes);
  out.append("}\n", 2);
}

}  // namespace zarvo

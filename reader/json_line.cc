#include "reader/json_line.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "format/timestamp.h"

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
  std::size_t n = sizeof text;
  do text[--n] = static_cast<char>('0' + value % 10);
  while ((value /= 10) != 0);
  out.append(text + n, sizeof text - n);
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
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendDecimal(out, static_cast<unsigned char>(bytes[i]));
  }
}

bool isUtf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    // ASCII, the common case, eight bytes at a time.
    uint64_t word;
    if (at + sizeof word <= bytes.size() &&
        (std::memcpy(&word, bytes.data() + at, sizeof word), (word & 0x8080808080808080u) == 0)) {
      at += sizeof word;
    } else if (static_cast<unsigned char>(bytes[at]) < 0x80) {
      ++at;
    } else if (const std::size_t length = sequenceLength(bytes, at); length != 0) {
      at += length;
    } else {
      return false;
    }
  }
  return true;
}

// Fields every object shares: "cursor" (when a cursor is given), "host",
// "file" and "offset".
void appendPlace(std::string& out, const Cursor* cursor, std::string_view host, uint64_t file,
                 uint64_t offset) {
  out.push_back('{');
  if (cursor != nullptr) {
    char text[41];
    out.append("\"cursor\":\"", 10);
    out.append(text, cursorDigits(text, *cursor));
    out.append("\",", 2);
  }
  out.append("\"host\":\"", 8);
  appendString(out, host);
  out.append("\",\"file\":", 9);
  appendDecimal(out, file);
  out.append(",\"offset\":", 10);
  appendDecimal(out, offset);
}

void appendTime(std::string& out, const char* timestamp, int64_t millis) {
  out.append(",\"time\":\"", 9);
  out.append(timestamp, kTimestampLength);
  out.append("\",\"time_unix_ms\":", 17);
  appendSigned(out, millis);
}

void appendOptional(std::string& out, const char* key, std::optional<uint64_t> value) {
  out.append(key);
  if (value) appendDecimal(out, *value);
  else out.append("null", 4);
}

// Input bytes encoded per block: at most 6 output bytes each, so a block's
// text stays near the output buffer's size.
constexpr std::size_t kBlock = 16 * 1024;

}  // namespace

void writeJsonLine(Output& out, std::string& scratch, const JsonLine& line) {
  scratch.clear();
  appendPlace(scratch, &line.cursor, line.host, line.cursor.file, line.cursor.offset);
  appendTime(scratch, line.timestamp, line.timeMillis);
  const bool text = isUtf8(line.bytes);
  scratch.append(text ? ",\"line\":\"" : ",\"line\":[", 9);
  for (std::size_t at = 0; at < line.bytes.size();) {
    // A block ends after a whole UTF-8 sequence, never inside one.
    std::size_t end = std::min(line.bytes.size(), at + kBlock);
    if (text)
      while (end < line.bytes.size() && (static_cast<unsigned char>(line.bytes[end]) & 0xC0) == 0x80)
        ++end;
    const std::string_view block = line.bytes.substr(at, end - at);
    if (text) {
      appendString(scratch, block);
    } else {
      if (at > 0) scratch.push_back(',');
      appendByteArray(scratch, block);
    }
    at = end;
    if (scratch.size() >= 4 * kBlock) {
      out.append(scratch.data(), scratch.size());
      scratch.clear();
    }
  }
  scratch.append(text ? "\"}\n" : "]}\n", 3);
  out.append(scratch.data(), scratch.size());
}

void appendJsonGap(std::string& out, const JsonGap& gap) {
  appendPlace(out, nullptr, gap.host, gap.file, gap.offset);
  appendTime(out, gap.timestamp, gap.timeMillis);
  out.append(",\"gap\":\"", 8);
  appendString(out, gap.why);
  out.append("\",\"last_file\":", 14);
  appendDecimal(out, gap.lastFile);
  appendOptional(out, ",\"bytes\":", gap.bytes);
  appendOptional(out, ",\"records\":", gap.records);
  out.append("}\n", 2);
}

bool isHostName(std::string_view text) {
  if (text.empty() || text.size() > 255) return false;
  for (char c : text)
    if (c < 0x20 || c > 0x7e) return false;
  return true;
}

}  // namespace zarvo

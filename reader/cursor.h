#pragma once
// A record's position, "FILE:OFFSET": the file's number and the offset of
// the record's first byte in the file's uncompressed bytes. Files are never
// renamed or rewritten, so a position stays valid for as long as the file
// is stored, as ".log" or as ".log.gz" alike.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarvo {

struct Cursor {
  uint64_t file = 0;
  uint64_t offset = 0;

  bool operator==(const Cursor& other) const {
    return file == other.file && offset == other.offset;
  }
  bool operator!=(const Cursor& other) const { return !(*this == other); }
};

// Empty unless text is decimal digits alone and fits 64 bits.
std::optional<uint64_t> parseDecimal(std::string_view text);
// Empty unless text is two decimal numbers (each fitting 64 bits, file
// number at least 1) joined by ':'.
std::optional<Cursor> parseCursor(std::string_view text);
std::string formatCursor(const Cursor& cursor);
// Writes formatCursor(cursor) at out (room for 41 bytes); returns its length.
std::size_t cursorDigits(char* out, const Cursor& cursor);

// text as paths are quoted in messages (in double quotes, '&' before every
// '"' and '&'), and each byte that is not printable ASCII as \xNN, so no
// control byte reaches a terminal.
std::string quotedText(std::string_view text);

// A cursor the reader cannot start from: "Bad cursor: `TEXT`: WHY" on
// stderr, then status 2 before anything is printed.
[[noreturn]] void cursorError(std::string_view text, std::string_view why);

}  // namespace zarvo

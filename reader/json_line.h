#pragma once
// One line of the proxy as a JSON object on a line of its own:
//   {"cursor":"17:40960","host":"proxy-1","file":17,"offset":40960,
//    "time":"2026-12-10T08:50:45.025Z","time_unix_ms":1796892645025,
//    "line":"GET / HTTP/1.1 200"}
// The cursor is that of the line's last record, so resuming after it starts
// at the next line. "line" is the line without its newline; a line that is
// not valid UTF-8 is an array of its byte values instead, so any bytes
// round-trip. A loss is an object of its own in the same stream, with "gap"
// saying what was lost (see JsonGap).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "reader/cursor.h"
#include "reader/output.h"

namespace zarvo {

struct JsonLine {
  std::string_view host;
  Cursor cursor;           // of the line's last record
  const char* timestamp;   // the first record's 24-character prefix time
  int64_t timeMillis;      // the same time
  std::string_view bytes;  // the line, without its newline
};

// Records that were stored and cannot be printed.
struct JsonGap {
  std::string_view host;
  uint64_t file;                   // the first file lost, or the one losing bytes
  uint64_t lastFile;               // the last file lost (file when one)
  uint64_t offset;                 // where in file the loss starts (0: whole files)
  std::optional<uint64_t> bytes;   // how many bytes were lost, when known
  std::optional<uint64_t> records; // how many records, when known
  std::string_view why;            // as said on stderr
  const char* timestamp;           // the last record read before the loss
  int64_t timeMillis;              // the same time
};

// Writes the object and its newline to out, encoding the line a block at a
// time: a long line costs no second copy. scratch is reused between calls.
void writeJsonLine(Output& out, std::string& scratch, const JsonLine& line);
// Appends the gap's object and a newline to out.
void appendJsonGap(std::string& out, const JsonGap& gap);

// True when the text can be a host name in an object: 1 to 255 bytes of
// printable ASCII.
bool isHostName(std::string_view text);

}  // namespace zarvo

#pragma once
// One line of the proxy as a JSON object on a line of its own:
//   {"cursor":"17:40960","file":17,"time":"2026-12-10T08:50:45.025Z",
//    "time_unix_ms":1796892645025,"line":"GET / HTTP/1.1 200"}
// "line" is the line without its newline; a line that is not valid UTF-8
// is an array of its byte values instead, so any bytes round-trip.
#include <cstdint>
#include <string>
#include <string_view>

#include "reader/cursor.h"

namespace zarvo {

struct JsonLine {
  Cursor cursor;           // of the line's first record
  const char* timestamp;   // that record's 24-character prefix time
  int64_t timeMillis;      // the same time
  std::string_view bytes;  // the line, without its newline
};

// Appends the object and a newline to out.
void appendJsonLine(std::string& out, const JsonLine& line);

}  // namespace zarvo

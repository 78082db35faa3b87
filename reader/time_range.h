#pragma once
// The times --since and --until take, and the time of a stored record, both
// in milliseconds since the epoch (UTC), so a record is compared without
// calendar work beyond its own prefix.
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace zarvo {

struct TimeRange {
  int64_t since = std::numeric_limits<int64_t>::min();  // first millisecond shown
  int64_t until = std::numeric_limits<int64_t>::max();  // last millisecond shown

  bool limited() const {
    return since != std::numeric_limits<int64_t>::min() ||
           until != std::numeric_limits<int64_t>::max();
  }
};

// "2026-12-10T08:50:45", "2026-12-10 08:50:45", either with a fraction of a
// second (cut to milliseconds) and a final 'Z', always UTC; or relative to
// nowMillis: "-15min", "-2h", "-1d", "-30s". Empty when text is none of these.
std::optional<int64_t> parseTimeArgument(std::string_view text, int64_t nowMillis);

// The time a timestamp-shaped text (YYYY-MM-DDTHH:MM:SS.mmmZ) shows.
int64_t timestampMillis(const char* text);

}  // namespace zarvo

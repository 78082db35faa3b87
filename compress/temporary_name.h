#pragma once
// Where a file is made before it takes its real name with rename(2). The
// leading '.' keeps it out of the names the writer's start-up scan takes
// for log files, and out of the shell's `*`, so a reader sees the real
// name only once the file is whole.
#include <string>
#include <string_view>

namespace zarvo {

constexpr std::string_view kTemporarySuffix = ".tmp";

// ".<name>.tmp" for a file name (no directory).
inline std::string temporaryName(std::string_view name) {
  std::string temporary(".");
  temporary.append(name).append(kTemporarySuffix);
  return temporary;
}

}  // namespace zarvo

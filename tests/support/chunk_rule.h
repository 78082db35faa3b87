#pragma once
// How the writer cuts its input into records: a line up to and including
// its newline when that comes within 2047 bytes, else 2047 bytes of it, and
// whatever is left at the end. Header-only, so the fuzz targets share it.
#include <algorithm>
#include <cstddef>
#include <string>

namespace zarvo::test {

constexpr size_t kChunkLimit = 2047;

// Length of the chunk that starts at `at` (< bytes.size()).
inline size_t chunkAt(const std::string& bytes, size_t at) {
  const size_t window = std::min(kChunkLimit, bytes.size() - at);
  const size_t newline = bytes.find('\n', at);
  return newline != std::string::npos && newline < at + window ? newline - at + 1 : window;
}

}  // namespace zarvo::test

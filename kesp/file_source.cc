#include "kesp/file_source.h"

#include <cerrno>
#include <cstdio>

#include "kesp/device_error.h"

namespace Kesp {

namespace {

std::FILE* openForReading(const char* path) { return fopen64(path, "rb"); }

}  // namespace

std::error_code FileSource::open(const char* path) noexcept {
  return openFile(file, error, path, openForReading);
}

int FileSource::read(char* buffer, int count, std::error_code& ec) noexcept {
  if (!usable()) {
    ec = notUsableCode();
    return -1;
  }
  if (std::feof(file.get())) return -1;
  const std::size_t n = std::fread(buffer, 1, static_cast<std::size_t>(count), file.get());
  if (n == static_cast<std::size_t>(count)) return static_cast<int>(n);
  const int readErrno = errno;
  if (std::feof(file.get())) return static_cast<int>(n);
  // Short without end of file is a failure even when the error indicator is
  // unset, so a truncated input can never pass for a complete one.
  error = std::ferror(file.get()) ? errnoCode(readErrno) : notUsableCode();
  ec = error;
  return -1;
}

}  // namespace Kesp

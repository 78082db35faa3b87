#include "kesp/file_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kesp/device_error.h"

namespace Kesp {

namespace {

// What fopen64(path, "rb") does, plus O_NONBLOCK: a FIFO at path must not
// hold the open until a writer comes (a regular file ignores the flag); and
// O_NOFOLLOW: a link planted at path must not hand over another file.
std::FILE* openForReading(const char* path) {
  const int fd = open64(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    const int fdopenErrno = errno;
    close(fd);
    errno = fdopenErrno;
  }
  return file;
}

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

#include "kesp/file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kesp/device_error.h"

namespace Kesp {

namespace {

std::FILE* openDescriptor(int fd) {
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int fdopenErrno = errno;
    close(fd);
    errno = fdopenErrno;
  }
  return file;
}

// What fopen64(path, "wb") does, plus O_NOFOLLOW: a link planted where the
// file goes must not redirect (or truncate) another file; and O_NONBLOCK: a
// FIFO there must not hold the open until a reader comes (ENXIO instead).
std::FILE* openForWriting(const char* path) {
  return openDescriptor(
      open64(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
}

std::FILE* createForWriting(const char* path) {
  return openDescriptor(open64(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

}  // namespace

std::error_code FileSink::open(const char* path) noexcept {
  return openFile(file, error, path, openForWriting);
}

std::error_code FileSink::create(const char* path) noexcept {
  return openFile(file, error, path, createForWriting);
}

int FileSink::write(const char* data, int count, std::error_code& ec) noexcept {
  if (!usable()) {
    ec = notUsableCode();
    return 0;
  }
  const std::size_t n = std::fwrite(data, 1, static_cast<std::size_t>(count), file.get());
  if (n == static_cast<std::size_t>(count)) return count;
  const int writeErrno = errno;
  // A short write reports no byte written, so part of the block may be left
  // in the stdio buffer: the sink fails even without the error indicator,
  // or a retry of the block would duplicate that part.
  error = std::ferror(file.get()) ? errnoCode(writeErrno) : notUsableCode();
  ec = error;
  return 0;
}

std::error_code FileSink::flush() noexcept {
  // The sticky error is not returned: a sink that failed earlier ends in EIO.
  if (!usable()) return notUsableCode();
  if (std::fflush(file.get()) != 0) error = errnoCode(errno);
  return error;
}

std::error_code FileSink::sync() noexcept {
  if (const std::error_code flushed = flush(); flushed.value() != 0) return flushed;
  // Not retried: after a failed fsync the kernel may have dropped the dirty
  // pages, so a second success would prove nothing.
  if (fsync(fileno(file.get())) != 0) error = errnoCode(errno);
  return error;
}

std::error_code FileSink::setMode(mode_t mode) noexcept {
  if (!usable()) return notUsableCode();
  if (fchmod(fileno(file.get()), mode) != 0) error = errnoCode(errno);
  return error;
}

}  // namespace Kesp

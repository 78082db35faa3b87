#pragma once
// Kesp::FileSink writes a file through C stdio and never throws. The first
// failure sticks in `error` until the next successful open; after it, and
// while not open, every operation gives EIO. One thread at a time. The
// destructor closes without reporting: call flush (or sync) first.
#include <system_error>

#include "kesp/open_file.h"

namespace Kesp {

class FileSink {
 public:
  FileSink() = default;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // Creates or truncates path (mode 0666 less the umask). A symbolic link at
  // path is refused (ELOOP), never followed; a FIFO without a reader gives
  // ENXIO at once.
  std::error_code open(const char* path) noexcept;
  // Creates path with mode 0600; it must not exist (EEXIST otherwise,
  // whatever is there: nothing planted at the name is ever opened).
  std::error_code create(const char* path) noexcept;

  // count (>= 0) when all was written; otherwise 0, and ec is set.
  int write(const char* data, int count, std::error_code& ec) noexcept;

  // Hands buffered bytes to the operating system: value 0 (system category)
  // when all got there, the errno of fflush, or EIO if the sink failed before.
  std::error_code flush() noexcept;

  // flush, then fsync: value 0 only once the bytes are on stable storage.
  std::error_code sync() noexcept;

  // fchmod of the open file to mode; the errno of fchmod, or EIO if the
  // sink failed before.
  std::error_code setMode(mode_t mode) noexcept;

  // The failure that made the sink fail, where the operations above give
  // EIO; value 0 while it has not failed (or was never opened).
  std::error_code firstError() const noexcept { return file ? error : std::error_code(); }

 private:
  bool usable() const noexcept { return file && error.value() == 0; }

  FileHandle file;
  std::error_code error;
};

}  // namespace Kesp

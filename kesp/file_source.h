#pragma once
// Kesp::FileSource reads a file through C stdio and never throws. The first
// failure sticks in `error` until the next successful open; after it, and
// while not open, every read gives EIO. One thread at a time.
#include <system_error>

#include "kesp/open_file.h"

namespace Kesp {

class FileSource {
 public:
  FileSource() = default;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Opens path with mode "rb"; a symbolic link at path is refused (ELOOP),
  // never followed, and a FIFO opens at once, without waiting for a writer.
  std::error_code open(const char* path) noexcept;
  // fstat of the open file; false when not open or fstat fails.
  bool status(struct stat& status) const noexcept { return fileStatus(file, status); }

  // Bytes placed in buffer (0 <= count): a short count, possibly 0, is the
  // last block. -1 once the input has ended, or on a failure, which sets ec.
  int read(char* buffer, int count, std::error_code& ec) noexcept;

 private:
  bool usable() const noexcept { return file && error.value() == 0; }

  FileHandle file;
  std::error_code error;
};

}  // namespace Kesp

#include "kesp/open_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "kesp/device_error.h"

namespace Kesp {

std::error_code openFile(FileHandle& file, std::error_code& error, const char* path,
                         FileOpener opener) noexcept {
  std::FILE* opened = opener(path);
  // Taken before reset(): closing the old file may change errno.
  const int openErrno = errno;
  file.reset(opened);
  error = opened != nullptr ? std::error_code() : errnoCode(openErrno);
  return error;
}

bool fileStatus(const FileHandle& file, struct stat& status) noexcept {
  return file && fstat(fileno(file.get()), &status) == 0;
}

}  // namespace Kesp

#include "compress/sync_directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kesp/device_error.h"

namespace zarvo {

std::error_code syncDirectory(const boost::filesystem::path& directory) noexcept {
  const char* name = directory.empty() ? "." : directory.c_str();
  const int fd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Kesp::errnoCode(errno);
  std::error_code result;
  if (fsync(fd) != 0) result = Kesp::errnoCode(errno);
  // A read-only descriptor: its close has nothing left to report.
  close(fd);
  return result;
}

}  // namespace zarvo

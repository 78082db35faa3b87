#include "app/standard_streams.h"

#include <fcntl.h>

#include <cerrno>

namespace zarvo {
namespace {

bool readable(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_PATH) == 0 && (flags & O_ACCMODE) != O_WRONLY;
}

}  // namespace

bool reserveStandardStreams() {
  bool inputOpen = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is fd itself.
    open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (fd == 0) inputOpen = false;
  }
  return inputOpen && readable(0);
}

}  // namespace zarvo

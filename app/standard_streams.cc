#include "app/standard_streams.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace zarvo {

bool reserveStandardStreams() {
  bool inputOpen = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is fd itself.
    open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (fd == 0) inputOpen = false;
  }
  return inputOpen;
}

namespace {

constexpr long kWantedPipeSize = 1 << 20;

// What an unprivileged process may ask for; the default when unreadable.
long pipeMaxSize() {
  long size = 1 << 20;
  if (std::FILE* in = std::fopen("/proc/sys/fs/pipe-max-size", "re")) {
    if (std::fscanf(in, "%ld", &size) != 1) size = 1 << 20;
    std::fclose(in);
  }
  return size;
}

}  // namespace

void enlargeInputPipe(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  const long size = std::min(kWantedPipeSize, pipeMaxSize());
  if (fcntl(fd, F_GETPIPE_SZ) < size) fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size));
}

}  // namespace zarvo

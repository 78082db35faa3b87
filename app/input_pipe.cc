#include "app/input_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace zarvo {
namespace {

constexpr long kWantedSize = 1 << 20;

// The most an unprivileged process may ask for; the wanted size when the
// limit cannot be read.
long pipeMaxSize() {
  long size = kWantedSize;
  if (std::FILE* in = std::fopen("/proc/sys/fs/pipe-max-size", "re")) {
    if (std::fscanf(in, "%ld", &size) != 1) size = kWantedSize;
    std::fclose(in);
  }
  return size;
}

}  // namespace

void enlargeInputPipe(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  const long size = std::min(kWantedSize, pipeMaxSize());
  if (fcntl(fd, F_GETPIPE_SZ) < size) fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size));
}

}  // namespace zarvo

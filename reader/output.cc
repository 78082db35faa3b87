#include "reader/output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "filestore/messages.h"

namespace zarvo {

Output::Output(int fd, std::size_t capacity)
    : fd_(fd), capacity_(capacity), buffer_(new char[capacity]) {}

void Output::append(const char* data, std::size_t size) {
  if (size == 0) return;
  atLineStart_ = data[size - 1] == '\n';
  if (used_ + size > capacity_) {
    flush();
    if (size >= capacity_) return writeAll(data, size);
  }
  std::memcpy(buffer_.get() + used_, data, size);
  used_ += size;
}

void Output::flush() {
  writeAll(buffer_.get(), used_);
  used_ = 0;
}

void Output::writeAll(const char* data, std::size_t size) {
  while (size > 0 && !closed_) {
    ssize_t n = write(fd_, data, size);
    if (n > 0) {
      written_ += static_cast<uint64_t>(n);
      data += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd ready{fd_, POLLOUT, 0};
      poll(&ready, 1, -1);
    } else if (n < 0 && errno == EPIPE) {
      closed_ = true;
    } else if (n < 0 && errno != EINTR) {
      fatalLine("Cannot write to stdout: " + errorText(errno));
    }
  }
}

}  // namespace zarvo

#include "reader/output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>

#include "filestore/messages.h"
#include "reader/stop_signal.h"

namespace zarvo {
namespace {

constexpr int kStopGraceMillis = 200;

}  // namespace

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
    ssize_t n;
    {
      BlockingWrite write;
      if (write.stopped()) return writeBeforeStop(data, size);
      n = ::write(fd_, data, size);
      if (n < 0 && errno == EAGAIN) {
        pollfd ready{fd_, POLLOUT, 0};
        poll(&ready, 1, -1);
        continue;
      }
    }
    if (n > 0) {
      written_ += static_cast<uint64_t>(n);
      data += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EPIPE) {
      closed_ = true;
    } else if (n < 0 && errno != EINTR) {
      fatalLine("Cannot write to stdout: " + errorText(errno));
    }
  }
}

// Once a stop was asked for, only what standard output takes at once still
// goes out, a pipe's atomic size at a time; the rest is dropped.
void Output::writeBeforeStop(const char* data, std::size_t size) {
  while (size > 0) {
    pollfd ready{fd_, POLLOUT, 0};
    if (poll(&ready, 1, kStopGraceMillis) != 1 || !(ready.revents & POLLOUT)) break;
    ssize_t n = ::write(fd_, data, std::min<std::size_t>(size, PIPE_BUF));
    if (n <= 0) break;
    written_ += static_cast<uint64_t>(n);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  dropped_ = size > 0;
  closed_ = true;
}

}  // namespace zarvo

#pragma once
// Standard output in large blocks. A reader that went away (EPIPE) is no
// error: from then on output is dropped and closed() says so. Any other
// write error ends the process with a message. After a stop signal, output
// that cannot be written at once is dropped (see stop_signal.h).
#include <cstddef>
#include <cstdint>
#include <memory>

namespace zarvo {

class Output {
 public:
  explicit Output(int fd, std::size_t capacity = 256 * 1024);

  void append(const char* data, std::size_t size);
  void flush();
  bool closed() const { return closed_; }
  int fd() const { return fd_; }
  // The reader of standard output went away without a write noticing.
  void hangUp() { closed_ = true; }
  // True when a stop dropped bytes that had been handed over.
  bool dropped() const { return dropped_; }
  // True when the last byte handed over was a newline (or none was).
  bool atLineStart() const { return atLineStart_; }
  // Bytes written to the descriptor so far, and those plus what is buffered.
  uint64_t written() const { return written_; }
  uint64_t position() const { return written_ + used_; }

 private:
  void writeAll(const char* data, std::size_t size);
  void writeBeforeStop(const char* data, std::size_t size);

  int fd_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool closed_ = false;
  bool dropped_ = false;
  bool atLineStart_ = true;
  uint64_t written_ = 0;
};

}  // namespace zarvo

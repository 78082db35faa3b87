#include "app/chunk_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zarvo {

ChunkReader::ChunkReader(int fd, std::size_t capacity)
    : fd_(fd), capacity_(std::max(capacity, 2 * kMaxChunk)), buffer_(new char[capacity_]) {}

bool ChunkReader::nextChunk(Chunk& chunk) {
  std::size_t available = end_ - begin_;
  if (available == 0) return false;
  const char* start = buffer_.get() + begin_;
  std::size_t size;
  if (const void* newline = std::memchr(start, '\n', std::min(available, kMaxChunk))) {
    size = static_cast<const char*>(newline) - start + 1;
  } else if (available >= kMaxChunk) {
    size = kMaxChunk;
  } else {
    return false;
  }
  chunk = {start, size};
  begin_ += size;
  return true;
}

bool ChunkReader::takeRest(Chunk& chunk) {
  if (begin_ == end_) return false;
  chunk = {buffer_.get() + begin_, end_ - begin_};
  begin_ = end_;
  return true;
}

ssize_t ChunkReader::fill() {
  // What is left is less than one chunk; move it to the front to make room.
  std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  ssize_t n = read(fd_, buffer_.get() + end_, capacity_ - end_);
  if (n > 0) end_ += static_cast<std::size_t>(n);
  return n;
}

}  // namespace zarvo

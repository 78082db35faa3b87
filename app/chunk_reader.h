#pragma once
// Standard input cut into chunks: a line of at most 2047 bytes with its
// newline is one chunk, a longer line comes as 2047-byte pieces and a rest.
// Every byte is kept, NUL bytes included. Reads go straight to read(2) in
// large blocks: a read either returns bytes or fails without losing any, so
// a signal or an error never costs part of a line.
#include <sys/types.h>

#include <cstddef>
#include <memory>

#include "format/record_layout.h"

namespace zarvo {

struct Chunk {
  const char* data;
  std::size_t size;
};

class ChunkReader {
 public:
  static constexpr std::size_t kMaxChunk = kMaxChunkSize;

  explicit ChunkReader(int fd, std::size_t capacity = 128 * 1024);

  // The next whole chunk of what has been read; false when more input is
  // needed first. A chunk stays valid until the next fill().
  bool nextChunk(Chunk& chunk);
  // The bytes held back for want of a newline, as a last chunk (at the end
  // of input, or when the writer stops early). False when there are none.
  bool takeRest(Chunk& chunk);
  // One read(2): the byte count, 0 at end of input, -1 with errno set.
  ssize_t fill();

 private:
  int fd_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace zarvo

// ChunkReader over a pipe that the input fills in pieces of varying size,
// with a varying buffer capacity: the chunks must be exactly the cut of the
// whole input (each line up to and including its first newline within 2047
// bytes, else 2047 bytes, the rest last), whatever the reads returned, and
// the reads must add up to the input.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app/chunk_reader.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/support/chunk_rule.h"

using namespace zarvo;
using namespace zarvo::fuzz;

namespace {

std::vector<std::string> referenceChunks(const std::string& input) {
  std::vector<std::string> chunks;
  for (size_t pos = 0, size; pos < input.size(); pos += size) {
    size = zarvo::test::chunkAt(input, pos);
    chunks.push_back(input.substr(pos, size));
  }
  return chunks;
}

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    check(n > 0, "write to the pipe");
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static_assert(ChunkReader::kMaxChunk == zarvo::test::kChunkLimit);
  FuzzInput in(data, size);
  const size_t capacity = in.take<uint16_t>();
  uint32_t pieces = in.take<uint32_t>();  // piece sizes, two bits at a time
  const std::string input = in.rest();

  int fds[2];
  check(pipe(fds) == 0, "pipe");
  std::vector<std::string> chunks;
  size_t readTotal = 0;
  {
    ChunkReader reader(fds[0], capacity);
    Chunk chunk;
    size_t sent = 0;
    for (int writes = 0; sent < input.size(); ++writes) {
      // 1, a few, 2047-ish and 4096-ish bytes per write, each fitting the
      // pipe; after 64 writes only large ones, to keep every run quick.
      static const size_t kPieces[] = {1, 7, 2046, 4099};
      size_t piece = std::min(writes < 64 ? kPieces[pieces & 3] : 4096, input.size() - sent);
      pieces = pieces >> 2 | pieces << 30;
      writeAll(fds[1], input.data() + sent, piece);
      sent += piece;
      // Read back all that is in the pipe before writing more.
      while (readTotal < sent) {
        ssize_t n = reader.fill();
        check(n > 0, "fill while the pipe holds data");
        readTotal += static_cast<size_t>(n);
        while (reader.nextChunk(chunk)) chunks.emplace_back(chunk.data, chunk.size);
      }
    }
    close(fds[1]);
    check(reader.fill() == 0, "end of input");
    while (reader.nextChunk(chunk)) chunks.emplace_back(chunk.data, chunk.size);
    if (reader.takeRest(chunk)) chunks.emplace_back(chunk.data, chunk.size);
    check(!reader.takeRest(chunk) && !reader.nextChunk(chunk), "nothing after the rest");
  }
  close(fds[0]);

  check(readTotal == input.size(), "reads add up to the input");
  const std::vector<std::string> want = referenceChunks(input);
  check(chunks.size() == want.size(), "chunk count",
        std::to_string(chunks.size()) + " vs " + std::to_string(want.size()));
  for (size_t i = 0; i < chunks.size(); ++i)
    check(chunks[i] == want[i], "chunk", std::to_string(i) + ": " + printable(chunks[i]));
  return 0;
}

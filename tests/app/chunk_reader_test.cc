#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/arguments.h"
#include "app/chunk_reader.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace zarvo {
namespace {

// Every chunk of `input`, read through a file in reads of at most `capacity`.
std::vector<std::string> chunksOf(const std::string& input, size_t capacity = 4096) {
  test::TempDir dir;
  test::writeFile(dir / "in", input);
  int fd = open((dir / "in").c_str(), O_RDONLY);
  ChunkReader reader(fd, capacity);
  std::vector<std::string> chunks;
  Chunk chunk;
  for (;;) {
    while (reader.nextChunk(chunk)) chunks.emplace_back(chunk.data, chunk.size);
    ssize_t n = reader.fill();
    EXPECT_GE(n, 0);
    if (n <= 0) break;
  }
  if (reader.takeRest(chunk)) chunks.emplace_back(chunk.data, chunk.size);
  close(fd);
  return chunks;
}

TEST(ChunkReader, CutsLinesAt2047BytesAndKeepsEveryByte) {
  const std::string line4999 = std::string(4999, 'x') + "\n";
  const std::string exact2047 = std::string(2046, 'a') + "\n";
  const std::string over2047 = std::string(2047, 'b') + "\n";
  struct Case {
    std::string name, input;
    std::vector<std::string> chunks;
  } cases[] = {
      {"empty", "", {}},
      {"two lines", "one\ntwo\n", {"one\n", "two\n"}},
      {"last line without newline", "one\ntwo", {"one\n", "two"}},
      {"5000-byte line", line4999,
       {std::string(2047, 'x'), std::string(2047, 'x'), std::string(905, 'x') + "\n"}},
      {"2047 bytes with newline", exact2047, {exact2047}},
      {"2048 bytes with newline", over2047, {std::string(2047, 'b'), "\n"}},
      {"NUL bytes", std::string("a\0b\n\0\n", 6), {std::string("a\0b\n", 4), std::string("\0\n", 2)}},
      {"empty lines", "\n\n", {"\n", "\n"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(chunksOf(c.input), c.chunks) << c.name;
    EXPECT_EQ(chunksOf(c.input, 2 * ChunkReader::kMaxChunk), c.chunks) << c.name << ", small reads";
  }
}

TEST(ChunkReader, SmallReadsGiveTheSameChunksAsOneLargeRead) {
  std::string input;
  for (int i = 0; i < 3000; ++i) input += std::string(static_cast<size_t>(i * 7 % 3000), 'q') + "\n";
  EXPECT_EQ(chunksOf(input, 4094), chunksOf(input, 1 << 24));
}

TEST(Arguments, ConvertAsUnsignedLexicalCast) {
  struct Case {
    const char* num;
    const char* size;
    bool ok;
    uint32_t maxFileNum;
    uint64_t maxFileSize;
  } cases[] = {
      {"3", "1048576", true, 3, 1048576},
      {"+3", "0", true, 3, 0},
      {"-1", "-1", true, 4294967295u, 18446744073709551615ull},
      {"4294967295", "18446744073709551615", true, 4294967295u, 18446744073709551615ull},
      {"007", "010", true, 7, 10},
      {"4294967296", "1", false, 0, 0},
      {"1", "18446744073709551616", false, 0, 0},
      {"3x", "1", false, 0, 0},
      {"0x10", "1", false, 0, 0},
      {"", "1", false, 0, 0},
      {"-", "1", false, 0, 0},
      {" 3", "1", false, 0, 0},
      {"3 ", "1", false, 0, 0},
      {"1.5", "1", false, 0, 0},
      {"1", "", false, 0, 0},
      {"+-1", "1", false, 0, 0},
  };
  for (const Case& c : cases) {
    const char* argv[] = {"w", "dir", c.num, c.size};
    std::optional<Arguments> args = parseArguments(4, argv);
    ASSERT_EQ(args.has_value(), c.ok) << "'" << c.num << "' '" << c.size << "'";
    if (!c.ok) continue;
    EXPECT_EQ(args->maxFileNum, c.maxFileNum) << c.num;
    EXPECT_EQ(args->maxFileSize, c.maxFileSize) << c.size;
    EXPECT_EQ(args->directory.string(), "dir");
  }
  const char* three[] = {"w", "dir", "3"};
  EXPECT_FALSE(parseArguments(3, three));
}

}  // namespace
}  // namespace zarvo

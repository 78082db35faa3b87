#include <cerrno>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "kesp/file_sink.h"
#include "kesp/file_source.h"
#include "kesp/sink.h"
#include "kesp/source.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace {

using zarvo::test::TempDir;

std::error_code generic(int value) { return std::error_code(value, std::generic_category()); }

// The code thrown by f, or value 0 (system category) when nothing is thrown.
template <typename F>
std::error_code thrownCode(F f) {
  try {
    f();
  } catch (const std::system_error& e) {
    EXPECT_EQ(std::string(e.what()), e.code().message());
    return e.code();
  }
  return std::error_code();
}

TEST(KespAdapterTest, SourceReturnsTheCountsAndThrowsOnlyDeviceErrors) {
  TempDir dir;
  zarvo::test::writeFile(dir / "in.log", std::string(5000, 'a'));
  Kesp::FileSource healthy;
  ASSERT_EQ(healthy.open((dir / "in.log").c_str()), std::error_code());
  Kesp::Source<Kesp::FileSource> source(healthy);
  Kesp::Source<Kesp::FileSource> copy = source;  // shares the device
  char buffer[4096];
  for (std::streamsize expected : {4096, 904, -1}) {
    std::streamsize n = 0;
    EXPECT_EQ(thrownCode([&] { n = copy.read(buffer, sizeof buffer); }), std::error_code());
    EXPECT_EQ(n, expected);
  }

  Kesp::FileSource broken;
  ASSERT_EQ(broken.open(dir.path().c_str()), std::error_code());
  Kesp::Source<Kesp::FileSource> failing(broken);
  EXPECT_EQ(thrownCode([&] { failing.read(buffer, sizeof buffer); }), generic(EISDIR));
  EXPECT_EQ(thrownCode([&] { failing.read(buffer, sizeof buffer); }), generic(EIO));
}

TEST(KespAdapterTest, SinkReturnsTheCountsAndThrowsOnlyDeviceErrors) {
  TempDir dir;
  Kesp::FileSink healthy;
  ASSERT_EQ(healthy.open((dir / "out").c_str()), std::error_code());
  Kesp::Sink<Kesp::FileSink> sink(healthy);
  std::streamsize n = 0;
  EXPECT_EQ(thrownCode([&] { n = sink.write("abcd", 4); }), std::error_code());
  EXPECT_EQ(n, 4);
  EXPECT_EQ(healthy.flush(), std::error_code());
  EXPECT_EQ(zarvo::test::readFile(dir / "out"), "abcd");

  Kesp::FileSink full;
  ASSERT_EQ(full.open("/dev/full"), std::error_code());
  Kesp::Sink<Kesp::FileSink> failing(full);
  const std::string block(1 << 17, 'x');
  EXPECT_EQ(thrownCode([&] { failing.write(block.data(), block.size()); }), generic(ENOSPC));
  EXPECT_EQ(thrownCode([&] { failing.write("a", 1); }), generic(EIO));
}

}  // namespace

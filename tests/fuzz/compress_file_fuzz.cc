// compressFile on a file holding the input (repeated up to eight times to
// reach past the 4096-byte buffers): success, the archive named input +
// ".gz", the fixed ten header bytes, and exactly one gzip member that
// inflates to the file's bytes (zlib checks the CRC and the size trailer).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "compress/compress_file.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/support/gzip_members.h"

using namespace zarvo;
using namespace zarvo::fuzz;

namespace {

// tmpfs when there is one: every input syncs its archive and the directory.
struct Scratch {
  std::string dir;
  Scratch() {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          std::string("/zarvo-compress-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
  }
  ~Scratch() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(dir, ignored);
  }
};

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  FuzzInput in(data, size);
  const int copies = 1 + in.take<uint8_t>() % 8;
  const std::string piece = in.rest();
  std::string content;
  for (int i = 0; i < copies; ++i) content += piece;

  const std::string input = scratch.dir + "/zarvo-access-1.log";
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out << content;
    check(static_cast<bool>(out.flush()), "write the input file");
  }
  boost::filesystem::path output = "stale";
  bool opened = false;
  const std::error_code result = compressFile(input, output, opened);
  check(result.value() == 0, "compression succeeds", result.message());
  check(opened, "the archive was opened");
  check(output.string() == input + ".gz", "archive path", output.string());

  const std::string gz = readAll(output.string());
  check(gz.compare(0, 10, std::string("\x1f\x8b\x08\0\0\0\0\0\x02\xff", 10)) == 0, "header bytes",
        printable(gz.substr(0, 10)));
  std::string inflated;
  int members = 0;
  try {
    members = zarvo::test::inflateMembers(gz, &inflated);
  } catch (const std::runtime_error& failure) {
    check(false, "complete members", failure.what());
  }
  check(members == 1, "one member and nothing after it", std::to_string(members) + " members");
  check(inflated == content, "inflates to the input");
  check(readAll(input) == content, "input untouched");
  unlink(output.c_str());
  return 0;
}

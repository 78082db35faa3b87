// Without libFuzzer (any compiler but clang), each fuzz target is this
// program: it runs every file of the given corpus directories (or the given
// files) once through the target's entry point, so each test run replays the
// corpora and keeps found crashes fixed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "tests/fuzz/fuzz_input.h"

namespace fs = boost::filesystem;

namespace {

void replay(const fs::path& file) {
  std::ifstream in(file.string(), std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A fresh copy of exactly the input's size, so that ASan sees a read past its end.
  std::vector<uint8_t> exact(bytes.begin(), bytes.end());
  uint8_t* data = exact.empty() ? nullptr : exact.data();
  LLVMFuzzerTestOneInput(data, exact.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const fs::directory_entry& e : fs::directory_iterator(argv[i]))
        if (fs::is_regular_file(e.path())) files.push_back(e.path());
    } else {
      files.push_back(argv[i]);
    }
  }
  // A missing or empty corpus would make the replay pass without testing anything.
  if (files.empty()) {
    std::fprintf(stderr, "no corpus files given\n");
    return 1;
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::fprintf(stderr, "replay %s\n", file.string().c_str());
    replay(file);
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}

// How fast one archive thread compresses: compress_rate FILE [RUNS]
// Times compressFile on FILE against zlib at level 9 on the same bytes, two
// ways: zlib's own file interface doing the same job (the file read in
// 4096-byte blocks, gzwrite into FILE.zlib.gz), and deflate alone over the
// bytes already in memory. Prints MB/s of input, the ratio, and our time
// over each of zlib's; the runs alternate.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "compress/compress_file.h"

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double zlibSeconds(const std::string& input, size_t& outSize) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::vector<unsigned char> out(deflateBound(&zs, input.size()));
  const auto start = Clock::now();
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  zs.avail_in = static_cast<uInt>(input.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  const double t = since(start);
  outSize = zs.total_out;
  deflateEnd(&zs);
  return t;
}

// File in, archive out, as compressFile does it, minus our stream layers
// and the two fsyncs.
double zlibFileSeconds(const std::string& input, const std::string& output) {
  const auto start = Clock::now();
  std::FILE* in = std::fopen(input.c_str(), "rb");
  gzFile out = gzopen(output.c_str(), "wb9");
  char block[4096];
  for (size_t n; in && out && (n = std::fread(block, 1, sizeof block, in)) > 0;)
    gzwrite(out, block, static_cast<unsigned>(n));
  if (in == nullptr || out == nullptr || gzclose(out) != Z_OK || std::ferror(in)) {
    std::fprintf(stderr, "compress_rate: zlib's file interface failed on %s\n", input.c_str());
    std::exit(1);
  }
  std::fclose(in);
  return since(start);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: compress_rate FILE [RUNS]\n");
    return 2;
  }
  const std::string input = argv[1], zlibArchive = input + ".zlib.gz";
  std::ostringstream all;
  all << std::ifstream(input, std::ios::binary).rdbuf();
  const std::string bytes = all.str();
  std::vector<double> ours, theirs, theirFiles;
  size_t archiveSize = 0, zlibSize = 0;
  for (int i = 0; i < (argc > 2 ? std::atoi(argv[2]) : 5); ++i) {
    boost::filesystem::path output;
    bool opened = false;
    const auto start = Clock::now();
    const std::error_code ec = zarvo::compressFile(input, output, opened);
    ours.push_back(since(start));
    if (ec) {
      std::fprintf(stderr, "compressFile: %s\n", ec.message().c_str());
      return 1;
    }
    archiveSize = boost::filesystem::file_size(output);
    boost::filesystem::remove(output);
    theirs.push_back(zlibSeconds(bytes, zlibSize));
    theirFiles.push_back(zlibFileSeconds(input, zlibArchive));
    boost::filesystem::remove(zlibArchive);
  }
  const double mb = bytes.size() / 1e6, size = static_cast<double>(bytes.size());
  std::printf("input %.1f MB; compressFile median %.3f s (%.1f MB/s, ratio %.2f); "
              "zlib level 9 median %.3f s (%.1f MB/s, ratio %.2f); ours/zlib %.3f; "
              "zlib file interface median %.3f s; ours/zlib-file %.3f\n",
              mb, median(ours), mb / median(ours), size / archiveSize, median(theirs),
              mb / median(theirs), size / zlibSize, median(ours) / median(theirs),
              median(theirFiles), median(ours) / median(theirFiles));
  return 0;
}

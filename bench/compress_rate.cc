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

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double zlibSeconds(const std::string& input, size_t& outSize) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::vector<unsigned char> out(deflateBound(&zs, input.size()));
  auto start = std::chrono::steady_clock::now();
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  zs.avail_in = static_cast<uInt>(input.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  double t = seconds(start);
  outSize = zs.total_out;
  deflateEnd(&zs);
  return t;
}

// File in, archive out, as compressFile does it, minus our stream layers
// and the two fsyncs.
double zlibFileSeconds(const std::string& input, const std::string& output) {
  auto start = std::chrono::steady_clock::now();
  std::FILE* in = std::fopen(input.c_str(), "rb");
  gzFile out = gzopen(output.c_str(), "wb9");
  if (in == nullptr || out == nullptr) {
    std::fprintf(stderr, "compress_rate: cannot open %s or %s\n", input.c_str(), output.c_str());
    std::exit(1);
  }
  char block[4096];
  for (size_t n; (n = std::fread(block, 1, sizeof block, in)) > 0;)
    gzwrite(out, block, static_cast<unsigned>(n));
  const bool ok = gzclose(out) == Z_OK && !std::ferror(in);
  std::fclose(in);
  if (!ok) {
    std::fprintf(stderr, "compress_rate: zlib's file interface failed\n");
    std::exit(1);
  }
  return seconds(start);
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
  const boost::filesystem::path input = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  std::ifstream in(argv[1], std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  const std::string bytes = all.str();
  std::vector<double> ours, theirs, theirFiles;
  const std::string zlibArchive = std::string(argv[1]) + ".zlib.gz";
  size_t archiveSize = 0, zlibSize = 0;
  for (int i = 0; i < runs; ++i) {
    boost::filesystem::path output;
    bool opened = false;
    auto start = std::chrono::steady_clock::now();
    std::error_code ec = zarvo::compressFile(input, output, opened);
    ours.push_back(seconds(start));
    if (ec) {
      std::fprintf(stderr, "compressFile: %s\n", ec.message().c_str());
      return 1;
    }
    archiveSize = boost::filesystem::file_size(output);
    boost::filesystem::remove(output);
    theirs.push_back(zlibSeconds(bytes, zlibSize));
    theirFiles.push_back(zlibFileSeconds(argv[1], zlibArchive));
    boost::filesystem::remove(zlibArchive);
  }
  const double mb = bytes.size() / 1e6;
  std::printf("input %.1f MB; compressFile median %.3f s (%.1f MB/s, ratio %.2f); "
              "zlib level 9 median %.3f s (%.1f MB/s, ratio %.2f); ours/zlib %.3f; "
              "zlib file interface median %.3f s; ours/zlib-file %.3f\n",
              mb, median(ours), mb / median(ours), double(bytes.size()) / archiveSize,
              median(theirs), mb / median(theirs), double(bytes.size()) / zlibSize,
              median(ours) / median(theirs), median(theirFiles),
              median(ours) / median(theirFiles));
  return 0;
}

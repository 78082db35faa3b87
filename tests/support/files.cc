#include "tests/support/files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zarvo::test {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) throw std::runtime_error("cannot list " + dir);
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// Inflates members one by one; returns the count, appends the bytes to out.
int inflateMembers(const std::string& gz, std::string* out) {
  int members = 0;
  size_t pos = 0;
  while (pos < gz.size()) {
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) throw std::runtime_error("inflateInit2");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data() + pos));
    zs.avail_in = static_cast<uInt>(gz.size() - pos);
    char buf[65536];
    int rc;
    do {
      zs.next_out = reinterpret_cast<Bytef*>(buf);
      zs.avail_out = sizeof buf;
      rc = inflate(&zs, Z_NO_FLUSH);
      if (out != nullptr) out->append(buf, sizeof buf - zs.avail_out);
    } while (rc == Z_OK);
    size_t used = gz.size() - pos - zs.avail_in;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("not a complete gzip member");
    pos += used;
    ++members;
  }
  return members;
}

}  // namespace

std::string gunzipFile(const std::string& path) {
  std::string out;
  inflateMembers(readFile(path), &out);
  return out;
}

int gzipMemberCount(const std::string& path) {
  try {
    return inflateMembers(readFile(path), nullptr);
  } catch (const std::runtime_error&) {
    return 0;
  }
}

std::string readLink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  if (n < 0) throw std::runtime_error("cannot readlink " + path);
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace zarvo::test

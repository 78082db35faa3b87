#pragma once
// Inflates a gzip file member by member with zlib. Header-only, so the fuzz
// targets share it; throws std::runtime_error when a member is incomplete.
#include <zlib.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace zarvo::test {

// Appends the inflated bytes of every member of `gz` to *out (when not
// null) and returns how many members there are.
inline int inflateMembers(const std::string& gz, std::string* out) {
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

}  // namespace zarvo::test

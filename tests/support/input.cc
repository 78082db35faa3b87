#include "tests/support/input.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>

namespace zarvo::test {

std::string requests(const std::string& tag, int count) {
  std::string out;
  uint64_t x = std::hash<std::string>{}(tag) | 1;
  for (int i = 0; i < count; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    char line[128];
    std::snprintf(line, sizeof line, "GET /%s/%06d/%016llx 200\n", tag.c_str(), i,
                  static_cast<unsigned long long>(x));
    out += line;
  }
  return out;
}

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine());
  return bytes;
}

}  // namespace zarvo::test

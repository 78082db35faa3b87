#pragma once
// What every fuzz target shares: the libFuzzer entry point, a reader that
// takes typed values off the front of an input (zeros once it runs dry, so
// every input is valid), and a check that aborts with a message, which
// libFuzzer and the corpus replay both report as a failure.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace zarvo::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  template <typename T>
  T take() {
    T value{};
    size_t n = sizeof(T) < size_ ? sizeof(T) : size_;
    if (n > 0) std::memcpy(&value, data_, n);
    data_ += n;
    size_ -= n;
    return value;
  }
  std::string takeString(size_t max) {
    size_t n = max < size_ ? max : size_;
    if (n == 0) return std::string();
    std::string bytes(reinterpret_cast<const char*>(data_), n);
    data_ += n;
    size_ -= n;
    return bytes;
  }
  std::string rest() { return takeString(size_); }
  bool empty() const { return size_ == 0; }

 private:
  const uint8_t* data_;
  size_t size_;
};

inline void check(bool ok, const char* what, const std::string& detail = "") {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s %s\n", what, detail.c_str());
  std::abort();
}

// Bytes made printable for a failure message: anything else as \xNN.
inline std::string printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if ((c >= 0x20 && c < 0x7f) || c == '\n') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace zarvo::fuzz

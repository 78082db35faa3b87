// quoted(path) must be a double quote, the path text with '&' written before
// every '"' and every '&', and a closing double quote, for any bytes.
#include <cstdint>
#include <string>

#include "filestore/messages.h"
#include "tests/fuzz/fuzz_input.h"

using namespace zarvo;
using namespace zarvo::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string want = "\"";
  for (char c : text) {
    if (c == '"' || c == '&') want += '&';
    want += c;
  }
  want += '"';
  const std::string got = quoted(boost::filesystem::path(text));
  check(got == want, "quoted form", printable(text) + " gave " + printable(got));
  return 0;
}

// parseFileNumber against the grammar written out independently, and the
// round trip from a generated name (<prefix>-<n><suffix>[.gz], n a positive
// 32-bit number) back to n.
#include <cstdint>
#include <optional>
#include <string>

#include "filestore/file_name.h"
#include "tests/fuzz/file_name_reference.h"
#include "tests/fuzz/fuzz_input.h"

using namespace zarvo;
using namespace zarvo::fuzz;

namespace {

std::string describe(std::optional<uint64_t> n) { return n ? std::to_string(*n) : "none"; }

std::string pickSuffix(FuzzInput& in) {
  static const char* const kSuffixes[] = {".log", "", ".txt", "-", "7", ".log.bak"};
  uint8_t pick = in.take<uint8_t>();
  if (pick < 6 * 32) return kSuffixes[pick % 6];
  std::string suffix = in.takeString(pick % 8);
  return endsWith(suffix, kCompressedSuffix) ? std::string(kLogSuffix) : suffix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  const std::string suffix = pickSuffix(in);
  const std::string prefix = mode & 1 ? "zarvo-access" : in.takeString(in.take<uint8_t>() % 16);

  // The number a generated name carries must come back.
  const int32_t generated = static_cast<int32_t>(in.take<uint32_t>() & 0x7fffffffu);
  if (generated > 0) {
    const std::string name = prefix + "-" + std::to_string(generated) + suffix +
                             (mode & 2 ? std::string(kCompressedSuffix) : "");
    const std::optional<uint64_t> back = parseFileNumber(name, prefix, suffix);
    check(back == static_cast<uint64_t>(generated), "generated name parses back",
          printable(name) + " gave " + describe(back));
  }

  // Arbitrary names, framed by prefix and suffix often enough to reach the digits.
  std::string name = in.rest();
  if (mode & 4) name = prefix + name;
  if (mode & 8) name += suffix;
  if (mode & 16) name += kCompressedSuffix;
  const std::optional<uint64_t> got = parseFileNumber(name, prefix, suffix);
  const std::optional<uint64_t> want = referenceFileNumber(name, prefix, suffix);
  check(got == want, "parse agrees with the grammar",
        "name " + printable(name) + " prefix " + printable(prefix) + " suffix " +
            printable(suffix) + ": got " + describe(got) + ", want " + describe(want));
  return 0;
}

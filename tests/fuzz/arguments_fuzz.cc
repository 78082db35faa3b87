// parseArguments on argument vectors cut from the input at NUL bytes: it
// must accept exactly when there are three arguments and both numbers
// convert as boost::lexical_cast converts them to uint32_t and uint64_t,
// with the same values; and that conversion must follow the documented
// rule (an optional sign, digits within the width, '-' negating modulo
// 2^32 or 2^64), written out here a second way.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "app/arguments.h"
#include "tests/fuzz/fuzz_input.h"

using namespace zarvo;
using namespace zarvo::fuzz;

namespace {

template <typename T>
std::optional<T> castOrNothing(const std::string& text) {
  try {
    return boost::lexical_cast<T>(text);
  } catch (const boost::bad_lexical_cast&) {
    return std::nullopt;
  }
}

template <typename T>
std::optional<T> documentedRule(std::string text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.erase(0, 1);
  }
  if (text.empty()) return std::nullopt;
  T value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const T digit = static_cast<T>(c - '0');
    if (value > (static_cast<T>(-1) - digit) / 10) return std::nullopt;
    value = static_cast<T>(value * 10 + digit);
  }
  return negative ? static_cast<T>(T{0} - value) : value;
}

template <typename T>
std::string describe(std::optional<T> v) {
  return v ? std::to_string(*v) : "none";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"zarvo-accesslogwriter"};
  std::string current;
  for (size_t i = 0; i < size && args.size() < 6; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (args.size() < 6) args.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  const std::optional<Arguments> parsed =
      parseArguments(static_cast<int>(args.size()), argv.data());
  std::optional<uint32_t> fileNum;
  std::optional<uint64_t> fileSize;
  if (args.size() == 4) {
    fileNum = castOrNothing<uint32_t>(args[2]);
    fileSize = castOrNothing<uint64_t>(args[3]);
    check(fileNum == documentedRule<uint32_t>(args[2]), "MAXFILENUM rule",
          printable(args[2]) + " cast to " + describe(fileNum));
    check(fileSize == documentedRule<uint64_t>(args[3]), "MAXFILESIZE rule",
          printable(args[3]) + " cast to " + describe(fileSize));
  }
  const bool accept = args.size() == 4 && fileNum && fileSize;
  check(parsed.has_value() == accept, "accepted exactly when the casts succeed",
        std::to_string(args.size() - 1) + " arguments");
  if (accept) {
    check(parsed->directory.string() == args[1], "directory as given", printable(args[1]));
    check(parsed->maxFileNum == *fileNum, "MAXFILENUM value", printable(args[2]));
    check(parsed->maxFileSize == *fileSize, "MAXFILESIZE value", printable(args[3]));
  }
  return 0;
}

#include "reader/arguments.h"

#include <cstring>
#include <limits>
#include <string_view>

namespace zarvo {
namespace {

std::optional<uint64_t> parseCount(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::optional<ReaderOptions> parseReaderArguments(int argc, const char* const* argv) {
  ReaderOptions options;
  bool haveDirectory = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "-f") {
      options.follow = true;
    } else if (!optionsEnded && arg == "--raw") {
      options.raw = true;
    } else if (!optionsEnded && arg.substr(0, 2) == "-n") {
      std::string_view value = arg.size() > 2 ? arg.substr(2) : std::string_view();
      if (arg.size() == 2) {
        if (++i == argc) return std::nullopt;
        value = argv[i];
      }
      options.count = parseCount(value);
      if (!options.count) return std::nullopt;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      return std::nullopt;
    } else if (!haveDirectory) {
      options.directory = std::string(arg);
      haveDirectory = true;
    } else {
      return std::nullopt;
    }
  }
  if (!haveDirectory) return std::nullopt;
  return options;
}

}  // namespace zarvo

#include "reader/arguments.h"

#include <cstring>
#include <string>
#include <string_view>

#include "reader/cursor.h"

namespace zarvo {
namespace {

// "--name=VALUE" or "--name VALUE" (also "-o VALUE" and "-oVALUE" for -o):
// true when argv[i] is the option, with its value in *value.
bool valueOption(int argc, const char* const* argv, int& i, std::string_view name,
                 std::string_view shortName, std::optional<std::string>& value) {
  const std::string_view arg = argv[i];
  std::string_view rest;
  if (arg.substr(0, name.size()) == name) rest = arg.substr(name.size());
  else if (!shortName.empty() && arg.substr(0, shortName.size()) == shortName)
    rest = arg.substr(shortName.size());
  else return false;
  const bool isLong = arg.substr(0, name.size()) == name;
  if (rest.empty()) {
    value = ++i < argc ? std::optional<std::string>(argv[i]) : std::nullopt;
  } else if (isLong && rest[0] == '=') {
    value = std::string(rest.substr(1));
  } else if (!isLong) {
    value = std::string(rest);
  } else {
    return false;  // another option sharing the start of the name
  }
  return true;
}

}  // namespace

std::optional<ReaderOptions> parseReaderArguments(int argc, const char* const* argv) {
  ReaderOptions options;
  bool haveDirectory = false;
  bool optionsEnded = false;
  std::optional<std::string> optionValue;
  bool badText = false;
  int i = 1;
  // An option whose value is a text, which must not be empty.
  auto text = [&](std::string_view name, auto& field) {
    if (optionsEnded || !valueOption(argc, argv, i, name, "", optionValue)) return false;
    if (optionValue && !optionValue->empty()) field = *optionValue;
    else badText = true;
    return true;
  };
  for (; i < argc; ++i) {
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
      options.count = parseDecimal(value);
      if (!options.count) return std::nullopt;
    } else if (!optionsEnded && arg == "--show-cursor") {
      options.showCursor = true;
    } else if (!optionsEnded && valueOption(argc, argv, i, "--output", "-o", optionValue)) {
      if (optionValue != "json") return std::nullopt;
      options.json = true;
    } else if (text("--after-cursor", options.afterCursor) ||
               text("--cursor-file", options.cursorFile) || text("--since", options.since) ||
               text("--until", options.until) || text("--host", options.host)) {
      if (badText) return std::nullopt;
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

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

const char kReaderOptionLines[] =
    "  -f                     follow: print what the writer stores next, until TERM or INT\n"
    "  -n COUNT               start with the last COUNT records (lines with --raw or -o json)\n"
    "  --raw                  the input as it came in: no prefixes, long lines joined\n"
    "  -o json, --output=json one JSON object per line, with its cursor; one per gap\n"
    "  --host=NAME            the \"host\" of JSON objects (default: this host's name)\n"
    "  --after-cursor=CURSOR  start right after the record at CURSOR (FILE:OFFSET)\n"
    "  --cursor-file=FILE     start after the cursor FILE holds, and keep it there\n"
    "  --show-cursor          at exit, the last record's cursor on standard error\n"
    "  --since=TIME           lines from TIME on (UTC): 2026-12-10T08:50:45Z, "
    "2026-12-10 08:50:45, -30s, -15min, -2h, -1d\n"
    "  --until=TIME           lines up to TIME, in the forms of --since\n"
    "  --help                 this text\n"
    "  --version              the version, build number and build type";

std::optional<ReaderOptions> parseReaderArguments(int argc, const char* const* argv,
                                                  BadArgument& bad) {
  ReaderOptions options;
  bool haveDirectory = false;
  bool optionsEnded = false;
  std::optional<std::string> value;
  int i = 1;
  // The argument at `from`, with the value taken after it, does not fit.
  auto fail = [&](int from, const char* why) {
    bad.argument = argv[from];
    for (int next = from + 1; next <= i && next < argc; ++next)
      bad.argument += std::string(" ") + argv[next];
    bad.why = why;
    return std::nullopt;
  };
  // An option whose value is a text, which must not be empty.
  auto text = [&](std::string_view name, auto& field) {
    if (!valueOption(argc, argv, i, name, "", value)) return false;
    if (value) field = *value;
    return true;
  };
  for (; i < argc; ++i) {
    const int at = i;
    const std::string_view arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (haveDirectory) return fail(at, "a second DIRECTORY");
      options.directory = std::string(arg);
      haveDirectory = true;
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-f") {
      options.follow = true;
    } else if (arg == "--raw") {
      options.raw = true;
    } else if (arg.substr(0, 2) == "-n") {
      if (arg.size() == 2 && ++i == argc) return fail(at, "no value");
      options.count = parseDecimal(arg.size() > 2 ? arg.substr(2) : std::string_view(argv[i]));
      if (!options.count) return fail(at, "COUNT is decimal digits, below 2^64");
    } else if (arg == "--show-cursor") {
      options.showCursor = true;
    } else if (valueOption(argc, argv, i, "--output", "-o", value)) {
      if (!value) return fail(at, "no value");
      if (*value != "json") return fail(at, "the only output format is json");
      options.json = true;
    } else if (text("--after-cursor", options.afterCursor) ||
               text("--cursor-file", options.cursorFile) || text("--since", options.since) ||
               text("--until", options.until) || text("--host", options.host)) {
      if (!value || value->empty()) return fail(at, "no value");
    } else {
      return fail(at, "unknown option");
    }
  }
  if (!haveDirectory) return std::nullopt;
  return options;
}

}  // namespace zarvo

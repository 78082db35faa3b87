#pragma once
// The reader's command line: [-f] [-n COUNT] [--raw] [-o json]
// [--after-cursor=CURSOR] [--cursor-file=FILE] [--show-cursor]
// [--since=TIME] [--until=TIME] DIRECTORY, options in any order before or
// after DIRECTORY, "--" ending them; a value follows '=' or comes as the
// next argument. Cursor and time texts are taken as given, checked later.
#include <optional>
#include <string>

#include "reader/log_reader.h"

namespace zarvo {

// What --help prints after the usage line: every option, one line each.
extern const char kReaderOptionLines[];

// The argument that does not fit, as given, and why; both empty when only
// DIRECTORY is missing.
struct BadArgument {
  std::string argument;
  std::string why;
};

// Empty when the arguments do not fit, with `bad` saying where. COUNT is
// decimal digits only and must fit 64 bits.
std::optional<ReaderOptions> parseReaderArguments(int argc, const char* const* argv,
                                                  BadArgument& bad);

}  // namespace zarvo

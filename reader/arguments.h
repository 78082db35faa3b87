#pragma once
// The reader's command line: [-f] [-n COUNT] [--raw] DIRECTORY, options in
// any order before or after DIRECTORY, "--" ending them.
#include <optional>

#include "reader/log_reader.h"

namespace zarvo {

struct ReaderCommand {
  bool help = false;  // --help: print the usage line on stdout
  ReaderOptions options;
};

// Empty when the arguments do not fit. COUNT is decimal digits only and
// must fit 64 bits.
std::optional<ReaderCommand> parseReaderArguments(int argc, const char* const* argv);

}  // namespace zarvo

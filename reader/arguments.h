#pragma once
// The reader's command line: [-f] [-n COUNT] [--raw] DIRECTORY, options in
// any order before or after DIRECTORY, "--" ending them.
#include <optional>

#include "reader/log_reader.h"

namespace zarvo {

// Empty when the arguments do not fit. COUNT is decimal digits only and
// must fit 64 bits.
std::optional<ReaderOptions> parseReaderArguments(int argc, const char* const* argv);

}  // namespace zarvo

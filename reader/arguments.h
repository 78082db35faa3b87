#pragma once
// The reader's command line: [-f] [-n COUNT] [--raw] [-o json]
// [--after-cursor=CURSOR] [--cursor-file=FILE] [--show-cursor]
// [--since=TIME] [--until=TIME] DIRECTORY, options in any order before or
// after DIRECTORY, "--" ending them; a value follows '=' or comes as the
// next argument. Cursor and time texts are taken as given, checked later.
#include <optional>

#include "reader/log_reader.h"

namespace zarvo {

// Empty when the arguments do not fit. COUNT is decimal digits only and
// must fit 64 bits.
std::optional<ReaderOptions> parseReaderArguments(int argc, const char* const* argv);

}  // namespace zarvo

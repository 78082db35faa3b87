#include "app/arguments.h"

#include <cstring>

#include <boost/lexical_cast/try_lexical_convert.hpp>

namespace zarvo {

std::optional<Arguments> parseArguments(int argc, const char* const* argv) {
  if (argc != 4) return std::nullopt;
  Arguments args;
  args.directory = argv[1];
  if (!boost::conversion::try_lexical_convert(argv[2], std::strlen(argv[2]), args.maxFileNum) ||
      !boost::conversion::try_lexical_convert(argv[3], std::strlen(argv[3]), args.maxFileSize))
    return std::nullopt;
  return args;
}

bool asksFor(int argc, const char* const* argv, const char* option) {
  return argc == 2 && std::strcmp(argv[1], option) == 0;
}

}  // namespace zarvo

#pragma once
// The three positional arguments: DIRECTORY MAXFILENUM MAXFILESIZE.
#include <cstdint>
#include <optional>

#include <boost/filesystem/path.hpp>

namespace zarvo {

struct Arguments {
  boost::filesystem::path directory;  // as given; a relative path stays relative
  uint32_t maxFileNum;
  uint64_t maxFileSize;
};

// Empty when the count is not three or a number does not convert. Numbers
// follow the lexical conversion to an unsigned type: an optional sign, digits
// only, within the type's width, and a '-' negates modulo 2^32 or 2^64.
std::optional<Arguments> parseArguments(int argc, const char* const* argv);

// True when `option` ("--help", "--version") is the one and only argument.
bool asksFor(int argc, const char* const* argv, const char* option);

}  // namespace zarvo

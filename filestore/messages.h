#pragma once
// Every message the writer prints goes through here, so quoting and wording
// cannot drift: fixed text, a path between back-quotes, "`: " and the error
// text. Each message is written with a single call, whole, so lines from two
// threads never interleave.
#include <string>
#include <string_view>
#include <system_error>

#include <boost/filesystem/path.hpp>

namespace zarvo {

// The path as a path inserts itself into a stream: in double quotes, with an
// '&' before every '"' and every '&'.
std::string quoted(const boost::filesystem::path& path);
std::string errorText(int errorNumber);

// text (which ends in a back-quote), the path, "`: ", the error and a newline.
void printError(std::string_view text, std::string_view path, std::string_view error);
[[noreturn]] void fatalError(std::string_view text, std::string_view path, std::string_view error);
// One whole line, and the run goes on.
void printMessage(std::string_view line);
// One whole line, then the process ends with status 1.
[[noreturn]] void fatalLine(std::string_view line);
// What the operator asked for (--help, --version): one line on standard
// output, then status 0; status 1 with a message when it cannot be written.
[[noreturn]] void informationLine(std::string_view line);

}  // namespace zarvo

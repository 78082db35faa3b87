#include "filestore/messages.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <sstream>

namespace zarvo {

std::string quoted(const boost::filesystem::path& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

std::string errorText(int errorNumber) { return std::generic_category().message(errorNumber); }

namespace {

// Straight to the descriptor: a stream keeps its failure state, so one
// line lost to a full pipe would silence every later one. Each line gets
// its own attempt; one that cannot be written is dropped, never retried.
void printLine(std::string line) {
  line += '\n';
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void printError(std::string_view text, std::string_view path, std::string_view error) {
  std::string line(text);
  line.append(path).append("`: ").append(error);
  printLine(std::move(line));
}

void fatalError(std::string_view text, std::string_view path, std::string_view error) {
  printError(text, path, error);
  std::terminate();
}

void printMessage(std::string_view line) { printLine(std::string(line)); }

void fatalLine(std::string_view line) {
  printLine(std::string(line));
  std::terminate();
}

void informationLine(std::string_view line) {
  const std::string text = std::string(line) + '\n';
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    fatalLine("Cannot write to stdout: " + errorText(errno));
  _exit(0);
}

}  // namespace zarvo

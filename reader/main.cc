// zarvo-accesslogcat [-f] [-n COUNT] [--raw] DIRECTORY
// Prints the records stored in DIRECTORY, oldest first, and with -f follows
// the writer as it stores more.
#include <signal.h>
#include <unistd.h>

#include <exception>
#include <new>

#include "filestore/messages.h"
#include "filestore/scan_directory.h"
#include "reader/arguments.h"
#include "reader/log_reader.h"
#include "reader/output.h"

int main(int argc, char** argv) {
  using namespace zarvo;
  // As in the writer: every fatal error ends with status 1 and no unwinding.
  std::set_terminate([] { _exit(1); });
  std::set_new_handler([] { std::terminate(); });
  // A closed stdout is a reader that has seen enough: EPIPE, then a quiet end.
  signal(SIGPIPE, SIG_IGN);
  std::optional<ReaderOptions> options = parseReaderArguments(argc, argv);
  if (!options) fatalLine("Usage: zarvo-accesslogcat [-f] [-n COUNT] [--raw] DIRECTORY");
  validateLogDirectory(options->directory);
  Output out(STDOUT_FILENO);
  return LogReader(*options, out).run();
}

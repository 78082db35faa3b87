// zarvo-accesslogcat [-f] [-n COUNT] [--raw] DIRECTORY (or --help, --version)
// Prints the records stored in DIRECTORY, oldest first, and with -f follows
// the writer as it stores more.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "filestore/messages.h"
#include "filestore/scan_directory.h"
#include "format/product.h"
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
  // As in the writer: each only as the one and only argument.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
    informationLine("Usage: zarvo-accesslogcat [-f] [-n COUNT] [--raw] DIRECTORY");
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
    informationLine(std::string("zarvo-accesslogcat ") + kProductVersion + " (build " +
                    kProductBuild + ", " + kProductOption + ")");
  std::optional<ReaderOptions> options = parseReaderArguments(argc, argv);
  if (!options) fatalLine("Usage: zarvo-accesslogcat [-f] [-n COUNT] [--raw] DIRECTORY");
  validateLogDirectory(options->directory);
  Output out(STDOUT_FILENO);
  return LogReader(*options, out).run();
}

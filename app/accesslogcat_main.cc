// zarvo-accesslogcat [-f] [-n COUNT] [--raw] DIRECTORY
// Prints the records stored in DIRECTORY, oldest first, and with -f follows
// the writer as it stores more.
#include <signal.h>
#include <unistd.h>

#include <exception>
#include <iostream>
#include <new>

#include "app/standard_streams.h"
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
  reserveStandardStreams();
  constexpr const char kUsage[] = "Usage: zarvo-accesslogcat [-f] [-n COUNT] [--raw] DIRECTORY";
  std::optional<ReaderCommand> command = parseReaderArguments(argc, argv);
  if (!command) fatalLine(kUsage);
  if (command->help) {
    std::cout << kUsage << std::endl;
    return 0;
  }
  validateLogDirectory(command->options.directory);
  Output out(STDOUT_FILENO);
  return LogReader(command->options, out).run();
}

// zarvo-accesslogcat [-f] [-n COUNT] [--raw] [-o json] [--after-cursor=CURSOR]
//   [--cursor-file=FILE] [--show-cursor] [--since=TIME] [--until=TIME] DIRECTORY
//   (or --help, --version)
// Prints the records stored in DIRECTORY, oldest first, and with -f follows
// the writer as it stores more.
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "filestore/messages.h"
#include "filestore/scan_directory.h"
#include "format/clock_reading.h"
#include "format/product.h"
#include "reader/arguments.h"
#include "reader/cursor.h"
#include "reader/json_line.h"
#include "reader/log_reader.h"
#include "reader/output.h"
#include "reader/time_range.h"

namespace {

constexpr const char kTimeForms[] =
    "use 2026-12-10T08:50:45Z, 2026-12-10 08:50:45 or -15min, -2h, -1d";

// The time --since (or else --until) names; a text that is none ends the process.
int64_t timeArgument(bool since, const std::string& text) {
  const zarvo::ClockReading now = zarvo::readClock();
  std::optional<int64_t> millis = zarvo::parseTimeArgument(text, now.seconds * 1000 + now.millis);
  if (!millis && since) zarvo::fatalError("Bad time for --since: `", text, kTimeForms);
  if (!millis) zarvo::fatalError("Bad time for --until: `", text, kTimeForms);
  return *millis;
}

// The "host" of every JSON object: --host, else the host's name.
std::string hostName(const std::string& given) {
  if (!given.empty()) {
    if (!zarvo::isHostName(given))
      zarvo::fatalLine("Bad host for --host: `" + zarvo::quotedText(given) +
                       "`: use 1 to 255 printable ASCII characters");
    return given;
  }
  utsname names;
  const std::string name = uname(&names) == 0 ? names.nodename : "";
  if (!zarvo::isHostName(name))
    zarvo::fatalLine("Cannot use the host name `" + zarvo::quotedText(name) + "`: set one with --host");
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zarvo;
  // As in the writer: every fatal error ends with status 1 and no unwinding.
  std::set_terminate([] { _exit(1); });
  std::set_new_handler([] { std::terminate(); });
  // A closed stdout is a reader that has seen enough: EPIPE, then a quiet end.
  signal(SIGPIPE, SIG_IGN);
  // As in the writer: each only as the one and only argument.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
    informationLine(
        "Usage: zarvo-accesslogcat [-f] [-n COUNT] [--raw] [-o json] [--after-cursor=CURSOR] "
        "[--cursor-file=FILE] [--show-cursor] [--since=TIME] [--until=TIME] DIRECTORY");
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
    informationLine(std::string("zarvo-accesslogcat ") + kProductVersion + " (build " +
                    kProductBuild + ", " + kProductOption + ")");
  std::optional<ReaderOptions> options = parseReaderArguments(argc, argv);
  if (!options)
    fatalLine(
        "Usage: zarvo-accesslogcat [-f] [-n COUNT] [--raw] [-o json] [--after-cursor=CURSOR] "
        "[--cursor-file=FILE] [--show-cursor] [--since=TIME] [--until=TIME] DIRECTORY");
  if (!options->since.empty()) options->range.since = timeArgument(true, options->since);
  if (!options->until.empty()) options->range.until = timeArgument(false, options->until);
  if (options->json) options->host = hostName(options->host);
  validateLogDirectory(options->directory);
  Output out(STDOUT_FILENO);
  return LogReader(*options, out).run();
}

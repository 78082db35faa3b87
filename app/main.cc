// zarvo-accesslogwriter DIRECTORY MAXFILENUM MAXFILESIZE (or --help, --version)
// Copies standard input into numbered, size-limited log files in DIRECTORY.
#include <unistd.h>

#include <cerrno>

#include <exception>
#include <memory>
#include <new>
#include <string>
#include <mutex>
#include <thread>

#include "app/arguments.h"
#include "app/chunk_reader.h"
#include "app/current_file.h"
#include "app/flush_thread.h"
#include "app/input_pipe.h"
#include "app/record_loop.h"
#include "app/signals.h"
#include "app/standard_streams.h"
#include "filestore/file_name.h"
#include "filestore/file_store_service.h"
#include "filestore/messages.h"
#include "format/line_prefix.h"
#include "format/product.h"

int main(int argc, char** argv) {
  using namespace zarvo;
  // Before anything else: a stop or rotation signal sent just after the
  // start (a reload right after a start) must wait for the record loop, not
  // kill the process by its default action.
  installSignalHandling();
  // Every fatal error, and any exception that escapes a thread, ends here:
  // status 1, no destructors, no atexit handlers, no stdio flushes.
  std::set_terminate([] { _exit(1); });
  // Out of memory ends the process here, before an exception can unwind
  // through library code that is not safe to unwind at that point (a
  // compression chain half pushed, a stream that only sets badbit).
  std::set_new_handler([] { std::terminate(); });
  const bool haveInput = reserveStandardStreams();
  if (asksFor(argc, argv, "--help"))
    informationLine(
        "Usage: zarvo-accesslogwriter DIRECTORY MAXFILENUM MAXFILESIZE\n"
        "  DIRECTORY    the directory that holds the log files; it must exist\n"
        "  MAXFILENUM   a count of files: the current one and MAXFILENUM - 1 archives (at least 1)\n"
        "  MAXFILESIZE  in bytes: a file is closed once it holds more, its header included");
  if (asksFor(argc, argv, "--version"))
    informationLine(std::string("zarvo-accesslogwriter ") + kProductVersion + " (build " +
                    kProductBuild + ", " + ZARVO_BUILD_TYPE + ")");
  std::optional<Arguments> args = parseArguments(argc, argv);
  if (!args) fatalLine("Usage: zarvo-accesslogwriter DIRECTORY MAXFILENUM MAXFILESIZE");
  if (!haveInput) fatalLine("Cannot read line from stdin: " + errorText(EBADF));
  enlargeInputPipe(STDIN_FILENO);

  CurrentFile file;
  auto service =
      std::make_shared<FileStoreService>(std::string(kFilePrefix), args->directory, args->maxFileNum);
  std::thread([service] { service->runArchiveTasks(); }).detach();
  std::thread([&file] { runFlushThread(file); }).detach();
  {
    std::lock_guard<std::mutex> lock(file.mutex);
    openNextFile(file, *service);
  }
  LinePrefix prefix(readClock());
  ChunkReader reader(STDIN_FILENO);
  runRecordLoop(file, *service, prefix, reader, args->maxFileSize);
}

#include "app/record_loop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <mutex>
#include <string>

#include "app/chunk_reader.h"
#include "app/current_file.h"
#include "app/signals.h"
#include "filestore/file_store_service.h"
#include "filestore/messages.h"
#include "format/line_prefix.h"

namespace zarvo {
namespace {

// A proxy writes one line per request, so a wakeup for every write would
// take a few records each, and the wakeup (wait, read, flush) costs far more
// than they do. After a read that brought less than kSmallRead the loop
// pauses for kPauseNanoseconds before it polls again, so that the lines pile
// up in the pipe (its capacity bounds what waits there) and the next read
// takes them all. A larger read means a backlog: read again at once. The
// pause comes after the flush, so what was read is never held back by it.
constexpr ssize_t kSmallRead = 32 * 1024;
constexpr long kPauseNanoseconds = 1000 * 1000;

// A regular file is never short of input before its end: no pauses.
bool isRegularFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

struct Loop {
  CurrentFile& file;
  FileStoreService& service;
  LinePrefix& prefix;
  ChunkReader& reader;
  uint64_t maxFileSize;

  // Once a stop is asked for, the rest of the batch goes into the current
  // file without further rotations: with one rotation per record a batch
  // could otherwise hold the stop back for seconds. The new header was
  // stamped after the batch's clock reading, so the records that follow it
  // take a fresh one: time never goes backwards from file to file.
  void write(Chunk chunk) {
    writeRecord(file, prefix.data(), prefix.size(), chunk);
    if (file.bytesWritten <= maxFileSize || stopPending()) return;
    rotateFile(file, service);
    updatePrefix(prefix, readClock());
  }

  // Everything one read brought in, under one lock: the flush thread and a
  // rotation still only ever see whole records. All of it arrived at once, so
  // it carries one clock reading, up to a rotation inside it.
  void writeChunks() {
    std::lock_guard<std::mutex> lock(file.mutex);
    Chunk chunk;
    if (reader.nextChunk(chunk)) {
      updatePrefix(prefix, readClock());
      do write(chunk);
      while (reader.nextChunk(chunk));
    }
    // Before the next wait for input, so that a kill while the input is quiet
    // loses nothing the writer has read.
    if (file.unflushed()) flushFile(file);
  }

  // The new header reaches the operating system before the wait for input,
  // as records do.
  void rotateOnRequest() {
    std::lock_guard<std::mutex> lock(file.mutex);
    if (file.hasRecord) rotateFile(file, service);
    if (file.unflushed()) flushFile(file);
  }

  // Takes the mutex for good: nothing may touch the file after it is closed.
  // A line still waiting for its newline is written as it is.
  void closeWithRest() {
    file.mutex.lock();
    Chunk rest;
    if (reader.takeRest(rest)) {
      updatePrefix(prefix, readClock());
      write(rest);
    }
    closeFile(file);
  }

  // After a stop that found no room, what could not be stored.
  void reportUnstored() const {
    if (file.unstored != 0)
      printMessage(errorText(file.givenUpError) + ": could not store " +
                   std::to_string(file.unstored) + " bytes");
  }

  // _exit, not exit: no destructor or atexit handler runs while the
  // background threads are still busy.
  [[noreturn]] void finish() {
    closeWithRest();
    reportUnstored();
    _exit(file.unstored == 0 ? 0 : 1);
  }

  [[noreturn]] void failRead(int error) {
    closeWithRest();
    reportUnstored();
    fatalLine("Cannot read line from stdin: " + errorText(error));
  }
};

}  // namespace

void runRecordLoop(CurrentFile& file, FileStoreService& service, LinePrefix& prefix,
                   ChunkReader& reader, uint64_t maxFileSize) {
  Loop loop{file, service, prefix, reader, maxFileSize};
  const bool paced = !isRegularFile(STDIN_FILENO);
  ssize_t n = 0;
  for (;;) {
    loop.writeChunks();
    if (stopRequested()) loop.finish();
    if (takeRotateRequest()) loop.rotateOnRequest();
    if (paced && n > 0 && n < kSmallRead) {
      n = 0;
      if (!pauseUnlessSignalled(kPauseNanoseconds)) continue;
    }
    if (!waitReadable(STDIN_FILENO)) continue;
    n = reader.fill();
    if (n == 0) loop.finish();
    if (n < 0 && errno != EINTR && errno != EAGAIN) loop.failRead(errno);
  }
}

}  // namespace zarvo

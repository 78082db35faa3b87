#pragma once
// The log file being written, shared by the record loop and the flush thread.
// Every operation below expects the caller to hold `mutex`. Records collect
// in a buffer of our own, which only ever holds whole records and goes out
// with write(2): after a failed write the writer knows to the byte what the
// file holds and what it still has to write. A full disk (ENOSPC, EDQUOT)
// keeps every byte and makes the main thread wait for room (full_disk.h);
// any other write failure ends the process with status 1 and a message
// naming the file, since carrying on would leave a hole in the log.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include <boost/filesystem/path.hpp>

#include "app/chunk_reader.h"

namespace zarvo {

class FileStoreService;

struct CurrentFile {
  static constexpr std::size_t kBufferSize = 256 * 1024;

  CurrentFile();

  int fd = -1;
  boost::filesystem::path path;
  uint64_t bytesWritten = 0;  // header and buffered bytes included: the limit is on the file's size
  bool hasRecord = false;     // since the file was opened
  std::mutex mutex;
  FileStoreService* service = nullptr;  // where room is made on a full disk

  std::unique_ptr<char[]> buffer;  // reused by every file
  std::size_t buffered = 0;        // bytes in buffer, whole records (and the header)
  std::size_t sent = 0;            // of those, already in the file
  uint64_t stored = 0;             // the file's length up to the buffer: whole records
  uint64_t inputBuffered = 0;      // input bytes among the buffered ones
  // Set by a stop during a pause: nothing waits for room any more, and
  // input that finds no room is counted here instead.
  bool givenUp = false;
  int givenUpError = 0;
  uint64_t unstored = 0;
  // What records may fill of the buffer; 0 once one was dropped, so that
  // none after it is ever stored.
  std::size_t capacity = kBufferSize;

  bool unflushed() const { return buffered != 0; }
};

// Asks the service for the next path, opens it and puts the header first.
void openNextFile(CurrentFile& file, FileStoreService& service);
void writeRecord(CurrentFile& file, const char* prefix, std::size_t prefixLength, Chunk chunk);
// Main thread: everything buffered into the file, waiting for room if need be.
void flushFile(CurrentFile& file);
// Flush thread: what fits goes out; on a full disk the rest stays buffered
// for the main thread's next flush, which waits for room.
void flushIfRoom(CurrentFile& file);
// Flushes and closes the file; a failed close lost its last bytes and is
// fatal, unless the disk was full.
void closeFile(CurrentFile& file);
// Closes, hands the file to the archive thread and opens the next one.
void rotateFile(CurrentFile& file, FileStoreService& service);
// Closes without writing what is still buffered; the result is not examined.
void discardFile(CurrentFile& file);

}  // namespace zarvo

#include "app/current_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "app/full_disk.h"
#include "filestore/file_store_service.h"
#include "filestore/messages.h"
#include "format/file_header.h"

namespace zarvo {
namespace {

[[noreturn]] void failWrite(CurrentFile& file, int error) {
  printError("Cannot write line to file: `", quoted(file.path), errorText(error));
  discardFile(file);
  std::terminate();
}

// What is buffered and not yet in the file. The file's offset is always
// stored + sent: a short write leaves its bytes where they belong, and the
// next write goes on right behind them. False, with the error, when the
// disk is full; any other failure is fatal.
bool sendBuffered(CurrentFile& file, int& error) {
  while (file.sent < file.buffered) {
    const ssize_t n = write(file.fd, file.buffer.get() + file.sent, file.buffered - file.sent);
    if (n > 0) {
      file.sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    error = n == 0 ? ENOSPC : errno;
    if (!isOutOfRoom(error)) failWrite(file, error);
    return false;
  }
  file.stored += file.buffered;
  file.buffered = file.sent = 0;
  file.inputBuffered = 0;
  return true;
}

// After a stop that found no room: the records still held are counted as
// lost, and the start of one already written is cut off again, so that the
// file ends with a whole record.
void dropBuffered(CurrentFile& file) {
  if (file.buffered == 0) return;
  file.capacity = 0;
  file.unstored += file.inputBuffered;
  // Should that fail, the cut record stays; the count already holds all of it.
  const bool cut = file.sent != 0 && ftruncate(file.fd, static_cast<off_t>(file.stored)) != 0;
  static_cast<void>(cut);
  file.buffered = file.sent = 0;
  file.inputBuffered = 0;
}

// close(2) reports a lack of room only where the file system found it after
// write(2) had taken the bytes (a network file system): the file is opened
// again and synced until that succeeds, so that its bytes are on disk.
bool syncAgain(const CurrentFile& file, int& error) {
  const int fd = open(file.path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return true;  // gone or replaced: nothing left to wait for
  error = fsync(fd) == 0 ? 0 : errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0) return true;
  if (isOutOfRoom(error)) return false;
  printError("Cannot write line to file: `", quoted(file.path), errorText(error));
  std::terminate();
}

}  // namespace

CurrentFile::CurrentFile() : buffer(new char[kBufferSize]) {}

constexpr std::size_t CurrentFile::kBufferSize;

void openNextFile(CurrentFile& file, FileStoreService& service) {
  file.service = &service;
  file.bytesWritten = 0;
  file.hasRecord = false;
  file.stored = 0;
  int fd = -1;
  file.path = service.nextFilePath(fd);
  if (fd < 0) fatalError("Cannot open file: `", quoted(file.path), errorText(errno));
  file.fd = fd;
  const std::string header = writeHeader();
  std::memcpy(file.buffer.get(), header.data(), header.size());
  file.buffered = header.size();
  file.bytesWritten = header.size();
}

void writeRecord(CurrentFile& file, const char* prefix, std::size_t prefixLength, Chunk chunk) {
  const std::size_t size = prefixLength + chunk.size;
  if (file.buffered + size > file.capacity) {
    if (file.capacity != 0) flushFile(file);
    // A stop found no room: the record cannot be held any more.
    if (file.buffered != 0 || file.capacity == 0) {
      file.capacity = 0;
      file.unstored += chunk.size;
      return;
    }
  }
  char* at = file.buffer.get() + file.buffered;
  std::memcpy(at, prefix, prefixLength);
  std::memcpy(at + prefixLength, chunk.data, chunk.size);
  file.buffered += size;
  file.inputBuffered += chunk.size;
  file.bytesWritten += size;
  file.hasRecord = true;
}

void flushFile(CurrentFile& file) {
  int error = 0;
  if (sendBuffered(file, error) || file.givenUp) return;
  waitForRoom(file, error, [&file](int& e) { return sendBuffered(file, e); });
}

void flushIfRoom(CurrentFile& file) {
  int error = 0;
  sendBuffered(file, error);
}

void closeFile(CurrentFile& file) {
  flushFile(file);
  dropBuffered(file);
  if (close(std::exchange(file.fd, -1)) == 0) return;
  int error = errno;
  if (isOutOfRoom(error) && (file.givenUp ? syncAgain(file, error)
                                          : waitForRoom(file, error, [&file](int& e) {
                                              return syncAgain(file, e);
                                            })))
    return;
  printError("Cannot write line to file: `", quoted(file.path), errorText(error));
  std::terminate();
}

void rotateFile(CurrentFile& file, FileStoreService& service) {
  closeFile(file);
  service.archiveFile(file.path);
  openNextFile(file, service);
}

void discardFile(CurrentFile& file) {
  if (file.fd < 0) return;
  // After a failed write, writing the rest now would put later records
  // behind a hole.
  close(std::exchange(file.fd, -1));
  file.buffered = file.sent = 0;
}

}  // namespace zarvo

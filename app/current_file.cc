#include "app/current_file.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>

#include "filestore/file_store_service.h"
#include "filestore/messages.h"
#include "format/file_header.h"

namespace zarvo {
namespace {

constexpr std::size_t kStreamBufferSize = 256 * 1024;

[[noreturn]] void failWrite(CurrentFile& file, int error) {
  printError("Cannot write line to file: `", quoted(file.path), errorText(error));
  discardFile(file);
  std::terminate();
}

// The stream over the descriptor nextFilePath opened; on failure errno
// tells why, and the descriptor is closed.
FILE* streamOver(int fd) {
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}

}  // namespace

CurrentFile::CurrentFile() : streamBuffer(new char[kStreamBufferSize]) {}

void openNextFile(CurrentFile& file, FileStoreService& service) {
  file.bytesWritten = 0;
  file.hasRecord = false;
  int fd = -1;
  file.path = service.nextFilePath(fd);
  file.handle.reset(streamOver(fd));
  if (!file.handle) fatalError("Cannot open file: `", quoted(file.path), errorText(errno));
  setvbuf(file.handle.get(), file.streamBuffer.get(), _IOFBF, kStreamBufferSize);
  std::string header = writeHeader();
  if (fwrite_unlocked(header.data(), 1, header.size(), file.handle.get()) != header.size())
    fatalError("Cannot write header to file: `", quoted(file.path), errorText(errno));
  file.bytesWritten += header.size();
  file.unflushed = true;
}

void writeRecord(CurrentFile& file, const char* prefix, std::size_t prefixLength, Chunk chunk) {
  FILE* stream = file.handle.get();
  if (fwrite_unlocked(prefix, 1, prefixLength, stream) != prefixLength ||
      fwrite_unlocked(chunk.data, 1, chunk.size, stream) != chunk.size)
    failWrite(file, errno);
  file.bytesWritten += prefixLength + chunk.size;
  file.hasRecord = true;
  file.unflushed = true;
}

void flushFile(CurrentFile& file) {
  if (fflush_unlocked(file.handle.get()) != 0) failWrite(file, errno);
  file.unflushed = false;
}

void closeFile(CurrentFile& file) {
  if (std::fclose(file.handle.release()) != 0) {
    int error = errno;
    printError("Cannot write line to file: `", quoted(file.path), errorText(error));
    std::terminate();
  }
  file.unflushed = false;
}

void rotateFile(CurrentFile& file, FileStoreService& service) {
  closeFile(file);
  service.archiveFile(file.path);
  openNextFile(file, service);
}

void discardFile(CurrentFile& file) {
  if (!file.handle) return;
  // After a failed write the C library has dropped some bytes; writing the
  // rest now would put later records behind a hole.
  __fpurge(file.handle.get());
  std::fclose(file.handle.release());
}

}  // namespace zarvo

#pragma once
// The log file being written, shared by the record loop and the flush thread.
// Every operation below expects the caller to hold `mutex`; that is what makes
// the unlocked stdio calls safe. Any write failure ends the process with status
// 1 and a message naming the file: a failed write or flush drops the bytes
// buffered in the C library, so carrying on would leave a hole in the log.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include <boost/filesystem/path.hpp>

#include "app/chunk_reader.h"

namespace zarvo {

class FileStoreService;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

struct CurrentFile {
  CurrentFile();

  std::unique_ptr<FILE, FileCloser> handle;
  boost::filesystem::path path;
  uint64_t bytesWritten = 0;  // header included: the limit is on the file's size
  bool hasRecord = false;     // since the file was opened
  bool unflushed = false;     // bytes may wait in the stdio buffer
  std::mutex mutex;
  std::unique_ptr<char[]> streamBuffer;  // one large stdio buffer, reused by every file
};

// Asks the service for the next path, opens it and writes the header.
void openNextFile(CurrentFile& file, FileStoreService& service);
void writeRecord(CurrentFile& file, const char* prefix, std::size_t prefixLength, Chunk chunk);
void flushFile(CurrentFile& file);
// Closes the file; a failed close lost its last bytes and is fatal.
void closeFile(CurrentFile& file);
// Closes, hands the file to the archive thread and opens the next one.
void rotateFile(CurrentFile& file, FileStoreService& service);
// Closes without writing what is still buffered; the result is not examined.
void discardFile(CurrentFile& file);

}  // namespace zarvo

#pragma once
// The single owner of a device's C FILE and the opening step both devices
// share: the opener's result replaces the held file and decides the error.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <system_error>

namespace Kesp {

struct FileCloser {
  // A device whose final status matters is flushed before it goes; nothing
  // is left to report here, so the result of fclose is ignored.
  void operator()(std::FILE* file) const noexcept { static_cast<void>(std::fclose(file)); }
};

using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Returns the opened file, or null with errno set.
using FileOpener = std::FILE* (*)(const char* path);

// Calls opener(path) and stores its result in file; a file held before is
// closed only after the opener returned. error becomes value 0 (system
// category) on success, else the opener's errno; error is returned.
std::error_code openFile(FileHandle& file, std::error_code& error, const char* path,
                         FileOpener opener) noexcept;

// fstat of an open file; false when file is null or fstat fails.
bool fileStatus(const FileHandle& file, struct stat& status) noexcept;

}  // namespace Kesp

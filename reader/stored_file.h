#pragma once
// One numbered file of the directory, opened for reading: the ".log" while
// it is there (it is whole; an archive beside it may still be written),
// else its ".log.gz". The descriptor keeps a file readable to its end after
// the archive thread has removed its name. Single owner, single thread.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/filesystem/path.hpp>
#include <zlib.h>

namespace zarvo {

class StoredFile {
 public:
  enum class Opened { kYes, kAbsent, kNotRegular, kFailed, kRetry };

  StoredFile() = default;
  ~StoredFile();
  StoredFile(const StoredFile&) = delete;
  StoredFile& operator=(const StoredFile&) = delete;

  // Opens number n in directory; on kFailed, error() says why. Never kRetry.
  Opened open(const boost::filesystem::path& directory, uint64_t n);
  void close();

  // Up to size bytes: 0 at the current end of the file, -1 on an error.
  ssize_t read(char* buffer, std::size_t size);

  bool isArchive() const { return archive_ != nullptr; }
  // The path that was opened (the ".log" one when neither opened).
  const boost::filesystem::path& path() const { return path_; }
  std::string error() const { return error_; }
  // True when the ".log" name now belongs to another file than the one held.
  bool replacedOnDisk() const;

 private:
  Opened openOnce(const boost::filesystem::path& directory, uint64_t n);
  Opened openPath(const boost::filesystem::path& path);

  int fd_ = -1;
  gzFile archive_ = nullptr;
  boost::filesystem::path path_;
  std::string error_;
};

}  // namespace zarvo

#pragma once
// One numbered file of the directory, opened for reading by the name the
// listing found: a ".log" read as it is, a ".log.gz" inflated. The
// descriptor keeps a file readable to its end after the archive thread has
// removed its name. Single owner, single thread.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/filesystem/path.hpp>
#include <zlib.h>

namespace zarvo {

class StoredFile {
 public:
  enum class Opened { kYes, kAbsent, kNotRegular, kFailed };

  StoredFile() = default;
  ~StoredFile();
  StoredFile(const StoredFile&) = delete;
  StoredFile& operator=(const StoredFile&) = delete;

  // Opens path, inflating it when its name ends in ".gz"; on kFailed,
  // error() says why.
  Opened open(const boost::filesystem::path& path);
  void close();

  // Up to size bytes: 0 at the current end of the file, -1 on an error.
  ssize_t read(char* buffer, std::size_t size);

  bool isArchive() const { return archive_ != nullptr; }
  const boost::filesystem::path& path() const { return path_; }
  std::string error() const { return error_; }
  // True while the name opened still leads to the file held.
  bool stillNamed() const;

 private:
  Opened openArchive();
  bool endsWithItsSize() const;

  int fd_ = -1;
  gzFile archive_ = nullptr;
  boost::filesystem::path path_;
  std::string error_;
  uint64_t inflated_ = 0;  // bytes an archive gave so far
};

}  // namespace zarvo

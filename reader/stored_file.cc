#include "reader/stored_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "filestore/file_name.h"
#include "filestore/messages.h"

namespace zarvo {
namespace {

// Archives are read in large blocks: inflate then writes straight into the
// caller's buffer.
constexpr unsigned kArchiveBuffer = 128 * 1024;

}  // namespace

StoredFile::~StoredFile() { close(); }

void StoredFile::close() {
  if (archive_ != nullptr) gzclose_r(archive_);  // closes fd_ too
  else if (fd_ >= 0) ::close(fd_);
  archive_ = nullptr;
  fd_ = -1;
}

// Never blocks on a FIFO planted under our name, never follows a link, and
// reads nothing but a regular file.
StoredFile::Opened StoredFile::open(const boost::filesystem::path& path) {
  close();
  path_ = path;
  inflated_ = 0;
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) {
    if (errno == ENOENT) return Opened::kAbsent;
    if (errno == ELOOP) return Opened::kNotRegular;
    error_ = errorText(errno);
    return Opened::kFailed;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    close();
    return Opened::kNotRegular;
  }
  if (!endsWith(path.filename().string(), kCompressedSuffix)) return Opened::kYes;
  if (st.st_size == 0) {
    close();
    error_ = "empty archive";
    return Opened::kFailed;
  }
  return openArchive();
}

StoredFile::Opened StoredFile::openArchive() {
  archive_ = gzdopen(fd_, "rb");
  if (archive_ == nullptr) {
    error_ = errorText(ENOMEM);
    close();
    return Opened::kFailed;
  }
  gzbuffer(archive_, kArchiveBuffer);
  // zlib would pass bytes that are not gzip through as they are.
  if (gzdirect(archive_) == 1) {
    close();
    error_ = "not a gzip archive";
    return Opened::kFailed;
  }
  return Opened::kYes;
}

ssize_t StoredFile::read(char* buffer, std::size_t size) {
  if (archive_ == nullptr) {
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0 || errno != EINTR) {
        if (n < 0) error_ = errorText(errno);
        return n;
      }
    }
  }
  int n = gzread(archive_, buffer, static_cast<unsigned>(size));
  int status = Z_OK;
  const char* text = gzerror(archive_, &status);
  if (n > 0) inflated_ += static_cast<uint64_t>(n);
  if (status == Z_OK || status == Z_STREAM_END) {
    if (n == 0 && !endsWithItsSize()) {
      error_ = "bytes after the end of the archive";
      return -1;
    }
    return n < 0 ? 0 : n;
  }
  error_ = status == Z_ERRNO ? errorText(errno) : text;
  // zlib names the descriptor ("<fd:3>: "); the message names the file.
  if (error_.rfind("<fd:", 0) == 0 && error_.find(">: ") != std::string::npos)
    error_.erase(0, error_.find(">: ") + 3);
  // What was inflated before the error still counts.
  return n > 0 ? n : -1;
}

// zlib passes over whatever follows a gzip member; the writer's archives are
// one member, whose last four bytes hold the inflated size.
bool StoredFile::endsWithItsSize() const {
  struct stat st;
  unsigned char size[4];
  if (fstat(fd_, &st) != 0 || st.st_size < 4 ||
      pread(fd_, size, sizeof size, st.st_size - 4) != static_cast<ssize_t>(sizeof size))
    return false;
  const uint32_t stored = size[0] | size[1] << 8 | size[2] << 16 | uint32_t{size[3]} << 24;
  return stored == static_cast<uint32_t>(inflated_);
}

bool StoredFile::stillNamed() const {
  struct stat held, named;
  if (fd_ < 0 || fstat(fd_, &held) != 0 || lstat(path_.c_str(), &named) != 0) return false;
  return held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

}  // namespace zarvo

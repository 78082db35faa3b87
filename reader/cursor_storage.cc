#include "reader/cursor_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <boost/filesystem/operations.hpp>

#include "compress/stray_entry.h"
#include "compress/sync_directory.h"
#include "compress/temporary_name.h"
#include "filestore/messages.h"

namespace zarvo {
namespace {

constexpr char kRandomPart[] = "XXXXXX";
constexpr std::size_t kRandomLength = sizeof kRandomPart - 1;

[[noreturn]] void refuse(const boost::filesystem::path& file, const struct stat& status) {
  const char* what = S_ISLNK(status.st_mode) ? "a symbolic link" : "not a regular file";
  printError("Bad cursor file: `", quoted(file), what);
  _exit(2);
}

boost::filesystem::path directoryOf(const boost::filesystem::path& file) {
  return file.parent_path().empty() ? "." : file.parent_path();
}

// ".FILE.XXXXXX.tmp" for a FILE named FILE; FILE.tmp is what versions
// before made, always under that one name.
bool isTemporaryOf(const std::string& name, const std::string& file) {
  const std::string head = "." + file + ".";
  const std::size_t length = head.size() + kRandomLength + kTemporarySuffix.size();
  return (name.size() == length && name.compare(0, head.size(), head) == 0 &&
          name.compare(length - kTemporarySuffix.size(), std::string::npos,
                       kTemporarySuffix.data(), kTemporarySuffix.size()) == 0) ||
         name == file + std::string(kTemporarySuffix);
}

int writeAll(int fd, const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n > 0) at += static_cast<std::size_t>(n);
    else if (errno != EINTR) return errno;
  }
  return 0;
}

// The mode a file made with open(2) and mode 0644 would get: a cursor is no
// secret, and the umask is the user's to choose.
mode_t cursorMode() {
  static const mode_t mode = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return 0644 & ~mask;
  }();
  return mode;
}

}  // namespace

void prepareCursorFile(const boost::filesystem::path& file) {
  struct stat status;
  if (lstat(file.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) refuse(file, status);
  cursorMode();
  boost::system::error_code error;
  boost::filesystem::directory_iterator it(directoryOf(file), error), end;
  const std::string name = file.filename().string();
  for (; !error && it != end; it.increment(error)) {
    const boost::filesystem::path& entry = it->path();
    // Someone else's entry of such a name is left alone.
    if (isTemporaryOf(entry.filename().string(), name) && lstat(entry.c_str(), &status) == 0 &&
        !strayEntry(status))
      ::unlink(entry.c_str());
  }
}

int openCursorFile(const boost::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (fd < 0 && errno == ELOOP && lstat(file.c_str(), &status) == 0) refuse(file, status);
  if (fd >= 0 && fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) refuse(file, status);
  return fd;
}

int replaceCursorFile(const boost::filesystem::path& file, const std::string& text) {
  std::string temporary =
      (directoryOf(file) / temporaryName(file.filename().string() + "." + kRandomPart)).string();
  // O_CREAT|O_EXCL under a name nobody could guess: never a planted file.
  const int fd =
      mkostemps(temporary.data(), static_cast<int>(kTemporarySuffix.size()), O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno;
  int error = fchmod(fd, cursorMode()) == 0 ? 0 : errno;
  if (error == 0) error = writeAll(fd, text);
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  // The rename itself must survive a crash of the machine.
  syncDirectory(file.parent_path());
  return 0;
}

}  // namespace zarvo

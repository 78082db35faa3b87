#include "filestore/bare_leftover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "format/file_header.h"

namespace zarvo {
namespace {

// Far more than a header: the pid and the thread id add at most 40 bytes to
// the 450 or so fixed ones.
constexpr std::size_t kLongestHeader = 1024;

}  // namespace

bool holdsNoRecord(const boost::filesystem::path& path) {
  // Never waits on a FIFO, never reads through a link.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  char bytes[kLongestHeader];
  ssize_t n = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < static_cast<off_t>(sizeof bytes))
    n = read(fd, bytes, sizeof bytes);
  close(fd);
  // A read that does not bring the whole file leaves a doubt.
  return n >= 0 && n == st.st_size && (n == 0 || isBareHeader({bytes, static_cast<size_t>(n)}));
}

}  // namespace zarvo

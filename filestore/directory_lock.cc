#include "filestore/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "filestore/messages.h"

namespace zarvo {

int lockDirectory(const boost::filesystem::path& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // Opening needs what listing needs, so it fails as the listing would.
  if (fd < 0) fatalError("Cannot list directory `", quoted(directory), errorText(errno));
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    if (error == EWOULDBLOCK)
      fatalError("Cannot lock directory `", quoted(directory),
                 "another zarvo-accesslogwriter is writing there");
    fatalError("Cannot lock directory `", quoted(directory), errorText(error));
  }
  return fd;
}

}  // namespace zarvo

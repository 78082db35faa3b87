#include "filestore/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
  // Said, not refused: the writer touches nothing but its own files there,
  // but whoever else may write there can remove or replace them.
  struct stat status;
  if (fstat(fd, &status) == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    printError("Shared directory `", quoted(directory),
               "writable by group or others, who can plant entries and remove or replace logs");
  return fd;
}

}  // namespace zarvo

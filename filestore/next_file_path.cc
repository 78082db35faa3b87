// FileStoreService::nextFilePath: the next number, its empty file and the
// link that names it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "compress/temporary_name.h"
#include "filestore/file_name.h"
#include "filestore/file_store_service.h"
#include "filestore/messages.h"

namespace zarvo {

boost::filesystem::path FileStoreService::nextFilePath() {
  if (fileNumber == std::numeric_limits<int32_t>::max()) {
    fatalError("Cannot continue numbering after `",
               quoted(directory / logFileName(prefix, static_cast<uint64_t>(fileNumber))),
               "file numbers end at 2147483647");
  }
  ++fileNumber;
  const std::string name = logFileName(prefix, static_cast<uint64_t>(fileNumber));
  boost::filesystem::path path = directory / name;
  // Never through a link planted at the new name: the writer often runs as
  // root and would truncate the link's target. The caller's open reports it.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  pointLinkAt(linkText(path, name));
  if (fd >= 0) close(fd);
  return path;
}

// A link's relative text is resolved from the link's own directory, so for
// a relative directory the bare name is what reaches the file.
std::string FileStoreService::linkText(const boost::filesystem::path& path,
                                       const std::string& name) const {
  return directory.is_absolute() ? path.string() : name;
}

// The new link is made under a name no scan takes for a log file and then
// renamed over the old one, so the link's name never goes missing for a
// reader. A temporary left by a killed run is simply made again.
void FileStoreService::pointLinkAt(const std::string& target) const {
  const boost::filesystem::path temporary =
      directory / temporaryName(linkPath.filename().string());
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) == 0) {
    if (rename(temporary.c_str(), linkPath.c_str()) == 0) return;
    unlink(temporary.c_str());
  }
  // Not possible in one step (a directory in the way, a directory that takes
  // no new names): replace it in two, and report what stays in the way.
  if (symlink(target.c_str(), linkPath.c_str()) == 0 || errno != EEXIST) return;
  unlink(linkPath.c_str());
  if (symlink(target.c_str(), linkPath.c_str()) != 0)
    printError("Cannot create symbolic link `", linkPath.string() + "` -> `" + target,
               errorText(errno));
}

}  // namespace zarvo

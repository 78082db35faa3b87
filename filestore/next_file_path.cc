// FileStoreService::nextFilePath: the next number, its empty file, open, and
// the link that names it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "compress/temporary_name.h"
#include "filestore/file_name.h"
#include "filestore/file_store_service.h"
#include "filestore/messages.h"

namespace zarvo {

boost::filesystem::path FileStoreService::nextFilePath(int& fd) {
  for (;;) {
    if (fileNumber == std::numeric_limits<int32_t>::max()) {
      fatalError("Cannot continue numbering after `",
                 quoted(directory / logFileName(prefix, static_cast<uint64_t>(fileNumber))),
                 "file numbers end at 2147483647");
    }
    ++fileNumber;
    const std::string name = logFileName(prefix, static_cast<uint64_t>(fileNumber));
    boost::filesystem::path path = directory / name;
    // Only ever a file of its own making: an entry already at the name
    // (planted or left by someone else, whatever its kind) is never opened,
    // so the writer, often root, neither writes through a link nor fills a
    // file whose owner and mode another user chose. Its number is passed by.
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
      printError("Skipped: `", quoted(path), errorText(EEXIST));
      continue;
    }
    // A link to a name that was never opened would show a stranger's file,
    // or none at all.
    if (fd >= 0) pointLinkAt(linkText(path, name));
    return path;
  }
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
  // When the old link cannot go (a directory, another user's link in a
  // sticky directory), that is the cause to report, not the EEXIST after it.
  const int unlinkErrno = unlink(linkPath.c_str()) == 0 ? 0 : errno;
  if (symlink(target.c_str(), linkPath.c_str()) != 0)
    printError("Cannot create symbolic link `", linkPath.string() + "` -> `" + target,
               errorText(unlinkErrno != 0 && unlinkErrno != ENOENT ? unlinkErrno : errno));
}

}  // namespace zarvo

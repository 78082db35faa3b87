#include "filestore/scan_directory.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include <boost/filesystem/operations.hpp>

#include "compress/stray_entry.h"
#include "filestore/file_name.h"
#include "filestore/messages.h"

namespace zarvo {
namespace {

// The entry itself, never what a link names: only a file the writer can
// take for its own is archived, deleted or written; any other entry under
// a numbered name is said once and left as it is. A vanished entry is
// simply not there; any other failure is reported, since the writer
// cannot tell whether the file is one of its own.
bool isOwnFile(const boost::filesystem::path& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return false;
    fatalError("Cannot query status of `", quoted(path), errorText(errno));
  }
  const std::error_code stray = strayEntry(status);
  if (stray) printError("Skipped: `", quoted(path), stray.message());
  return !stray;
}

}  // namespace

void validateLogDirectory(const boost::filesystem::path& directory) {
  boost::system::error_code ec;
  boost::filesystem::file_status status = boost::filesystem::status(directory, ec);
  if (status.type() == boost::filesystem::file_not_found)
    fatalLine("Directory `" + quoted(directory) + "` does not exist.");
  if (ec) fatalError("Cannot query status of `", quoted(directory), ec.message());
  if (status.type() != boost::filesystem::directory_file)
    fatalLine("`" + quoted(directory) + "` is not a directory.");
}

std::vector<NumberedFile> scanDirectory(const std::string& directory, const std::string& prefix,
                                        boost::system::error_code& error,
                                        const std::string& suffix, NumberedFile& highest) {
  std::vector<NumberedFile> found;
  highest = {0, {}};
  boost::filesystem::directory_iterator it(directory, error), end;
  for (; !error && it != end; it.increment(error)) {
    const boost::filesystem::path& path = it->path();
    std::optional<uint64_t> number = parseFileNumber(path.filename().string(), prefix, suffix);
    if (!number) continue;
    if (*number >= highest.number) highest = {*number, path};
    if (isOwnFile(path)) found.push_back({*number, path});
  }
  std::sort(found.begin(), found.end(), [](const NumberedFile& a, const NumberedFile& b) {
    return a.number != b.number ? a.number < b.number : a.path < b.path;
  });
  found.erase(std::unique(found.begin(), found.end(),
                          [](const NumberedFile& a, const NumberedFile& b) {
                            return a.number == b.number && a.path == b.path;
                          }),
              found.end());
  return found;
}

}  // namespace zarvo

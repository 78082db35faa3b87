#include "filestore/temporary_files.h"

#include <boost/filesystem/operations.hpp>

#include "compress/temporary_name.h"
#include "filestore/file_name.h"
#include "filestore/messages.h"

namespace zarvo {
namespace {

bool isOurTemporary(std::string_view name, const std::string& prefix) {
  if (name.size() < 1 + kTemporarySuffix.size() || name[0] != '.' ||
      !endsWith(name, kTemporarySuffix))
    return false;
  const std::string_view real = name.substr(1, name.size() - 1 - kTemporarySuffix.size());
  if (real == prefix + std::string(kLinkSuffix)) return true;
  return endsWith(real, kCompressedSuffix) && parseFileNumber(real, prefix, kLogSuffix);
}

}  // namespace

void removeTemporaries(const boost::filesystem::path& directory, const std::string& prefix) {
  boost::system::error_code error;
  // A directory that cannot be listed is reported by the scan that follows.
  boost::filesystem::directory_iterator it(directory, error), end;
  for (; !error && it != end; it.increment(error)) {
    const boost::filesystem::path& path = it->path();
    if (!isOurTemporary(path.filename().string(), prefix)) continue;
    boost::system::error_code ec;
    // A FIFO planted there would hold up the archive thread; only a
    // directory, which unlink cannot take, stays.
    const boost::filesystem::file_type type = boost::filesystem::symlink_status(path, ec).type();
    if (type == boost::filesystem::directory_file || type == boost::filesystem::status_error)
      continue;
    boost::filesystem::remove(path, ec);
    if (ec) printError("Cannot remove file: `", path.string(), ec.message());
  }
}

}  // namespace zarvo

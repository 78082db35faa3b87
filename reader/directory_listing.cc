#include "reader/directory_listing.h"

#include <boost/filesystem/operations.hpp>

#include "filestore/file_name.h"

namespace zarvo {
namespace {

// The writer's own spelling wins over another one of the same number.
void keep(boost::filesystem::path& slot, boost::filesystem::path candidate,
          const std::string& canonical, std::vector<boost::filesystem::path>& strays) {
  if (slot.empty()) {
    slot = std::move(candidate);
    return;
  }
  if (candidate.filename().string().rfind(canonical, 0) == 0) std::swap(slot, candidate);
  strays.push_back(std::move(candidate));
}

}  // namespace

Listing listDirectory(const boost::filesystem::path& directory, boost::system::error_code& error) {
  Listing listing;
  boost::filesystem::directory_iterator it(directory, error), end;
  for (; !error && it != end; it.increment(error)) {
    const boost::filesystem::path& path = it->path();
    const std::string name = path.filename().string();
    std::optional<uint64_t> number = parseFileNumber(name, kFilePrefix, kLogSuffix);
    if (!number) continue;
    ListedNumber& entry = listing[*number];
    // The writer makes regular files only; a link may lead anywhere.
    boost::system::error_code ignored;
    if (it->symlink_status(ignored).type() != boost::filesystem::regular_file) {
      if (ignored != boost::system::errc::no_such_file_or_directory) entry.strays.push_back(path);
      continue;
    }
    const std::string canonical = logFileName(kFilePrefix, *number);
    if (endsWith(name, kCompressedSuffix)) {
      keep(entry.archive, path, canonical, entry.strays);
    } else {
      keep(entry.log, path, canonical, entry.strays);
    }
  }
  for (auto at = listing.begin(); at != listing.end();)
    at = at->second.hasFile() || !at->second.strays.empty() ? std::next(at) : listing.erase(at);
  return listing;
}

uint64_t nextFileNumber(const Listing& listing, uint64_t n) {
  for (auto at = listing.lower_bound(n); at != listing.end(); ++at)
    if (at->second.hasFile()) return at->first;
  return 0;
}

}  // namespace zarvo

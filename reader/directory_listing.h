#pragma once
// The log directory as the reader sees it: for every number the writer's
// start-up grammar gives a name (zarvo-access-7.log, zarvo-access7.log,
// zarvo-access+7.log.gz...), the ".log" and the ".log.gz" found under
// whatever spelling, and the entries of that number that cannot be the
// writer's (not a regular file, a link, a second spelling). Single thread.
#include <cstdint>
#include <map>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

namespace zarvo {

struct ListedNumber {
  boost::filesystem::path log;      // empty: none
  boost::filesystem::path archive;  // empty: none
  std::vector<boost::filesystem::path> strays;

  bool hasFile() const { return !log.empty() || !archive.empty(); }
  // The ".log" while it is there: it is whole, an archive beside it may not be.
  const boost::filesystem::path& file() const { return log.empty() ? archive : log; }
};

using Listing = std::map<uint64_t, ListedNumber>;

// A listing error is left in `error`, with what was found until then.
Listing listDirectory(const boost::filesystem::path& directory, boost::system::error_code& error);

// The lowest number at or above n that has a file, or 0.
uint64_t nextFileNumber(const Listing& listing, uint64_t n);

}  // namespace zarvo

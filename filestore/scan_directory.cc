#include "filestore/scan_directory.h"

#include <algorithm>

#include <boost/filesystem/operations.hpp>

#include "filestore/file_name.h"
#include "filestore/messages.h"

namespace zarvo {
namespace {

// A vanished entry is simply not there, and a loop of links is no file of
// ours, like a link to nothing; any other failure is reported, since the
// writer cannot tell whether the file is one of its own.
bool isRegularFile(const boost::filesystem::path& path) {
  boost::system::error_code ec;
  boost::filesystem::file_status status = boost::filesystem::status(path, ec);
  if (status.type() == boost::filesystem::file_not_found) return false;
  if (ec == boost::system::errc::too_many_symbolic_link_levels) return false;
  if (ec) fatalError("Cannot query status of `", quoted(path), ec.message());
  return status.type() == boost::filesystem::regular_file;
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
    if (isRegularFile(path)) found.push_back({*number, path});
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

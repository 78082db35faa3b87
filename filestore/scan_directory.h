#pragma once
// The start-up listing of numbered log files left in the directory by earlier
// runs. Main thread, before any other thread exists.
#include <cstdint>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

namespace zarvo {

// Ends the process with a message when directory is missing, is not a
// directory or cannot be queried.
void validateLogDirectory(const boost::filesystem::path& directory);

struct NumberedFile {
  uint64_t number;
  boost::filesystem::path path;
};

// The writer's own files (regular, one link, its user's; never through a
// link) named <prefix><number><suffix>[.gz], in ascending order of number,
// then path; any other entry of such a name is reported and left out. A
// listing error is left in `error` with what was found until then. Only
// entries whose names qualify have their status queried; a failing query
// other than "not found" ends the process with a message naming the entry. `highest` is the entry with the highest
// number among all qualifying names, whatever kind of entry carries them
// (a FIFO, a directory, a dangling link): numbering must pass them all.
// Number 0 when there is none.
std::vector<NumberedFile> scanDirectory(const std::string& directory, const std::string& prefix,
                                        boost::system::error_code& error,
                                        const std::string& suffix, NumberedFile& highest);

}  // namespace zarvo

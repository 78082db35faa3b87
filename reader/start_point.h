#pragma once
// Where a run starts when it is told a place: right after a cursor's
// record, or at the first file that may hold records from a time on.
#include <cstdint>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "reader/cursor.h"

namespace zarvo {

// The records of file cursor.file up to and including the one at
// cursor.offset (what to skip there). Ends the process with status 2 when
// no record starts at that offset. The file must be stored.
uint64_t recordsThrough(const boost::filesystem::path& directory, const Cursor& cursor);

// The number among `numbers` (ascending, stored files) to start reading at
// for records from `since` on: files before it hold only earlier records.
// Each file's header shows when it was opened: after every record of the
// files before it, and before its own. Only headers are read.
uint64_t firstFileSince(const boost::filesystem::path& directory,
                        const std::vector<uint64_t>& numbers, int64_t since);

}  // namespace zarvo

#pragma once
// Where a run starts when it is told a place: right after a cursor's
// record, or at the first file that may hold records from a time on.
#include <cstdint>

#include <boost/filesystem/path.hpp>

#include "reader/cursor.h"
#include "reader/directory_listing.h"

namespace zarvo {

// The records of `file` (number cursor.file, or its archive once it went)
// up to and including the one at cursor.offset: what to skip there. Ends
// the process with status 2 when no record starts at that offset.
uint64_t recordsThrough(const boost::filesystem::path& file, const Cursor& cursor);

// The number of a stored file to start reading at for records from `since`
// on (0 when none is stored): files before it hold only earlier records.
// Each file's header shows when it was opened: after every record of the
// files before it, and before its own. Only headers are read.
uint64_t firstFileSince(const Listing& listing, int64_t since);

}  // namespace zarvo

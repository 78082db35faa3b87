#pragma once
// A ".log" left by an earlier run that never got a record: empty, or just
// the two header lines. Every start writes such a header, so archiving them
// would let restarts without input push real archives out of retention.
// Main thread, at start-up.
#include <boost/filesystem/path.hpp>

namespace zarvo {

// True only for a regular file (not a link) that holds no record. Any doubt
// (unreadable, a header cut short, a link) is false: such a file is archived.
bool holdsNoRecord(const boost::filesystem::path& path);

}  // namespace zarvo

#pragma once
// Temporaries a killed run left behind: archives cut short before they got
// their name, and the link made for a rotation. Main thread, at start-up,
// with the directory locked and before any other thread exists.
#include <string>

#include <boost/filesystem/path.hpp>

namespace zarvo {

// Removes every entry but a directory in `directory` named like a temporary
// of ours (".<prefix>-N.log.gz.tmp", ".<prefix>.log.tmp"): a file, a link,
// a FIFO; other names are never touched. A failed removal is reported and
// passed over.
void removeTemporaries(const boost::filesystem::path& directory, const std::string& prefix);

}  // namespace zarvo

#pragma once
// Two writers on one directory would truncate each other's files. The
// directory itself carries an exclusive lock (no extra file appears in it);
// the kernel drops it when the process ends, however it ends.
#include <boost/filesystem/path.hpp>

namespace zarvo {

// The descriptor holding the lock; ends the process with a message when the
// directory cannot be opened or another writer holds the lock. Says so on
// stderr, once, when group or others may write in the directory.
int lockDirectory(const boost::filesystem::path& directory);

}  // namespace zarvo

#pragma once
// The cursor file on disk. Its directory may be shared with other users, so
// nothing is ever opened through a name someone else could have planted:
// FILE itself must be a regular file or absent, and each save is written
// to a new temporary of an unguessable name beside it (".FILE.XXXXXX.tmp",
// created exclusively), synced and renamed over FILE, whose directory is
// then synced; a kill at any moment leaves the old cursor or the new one.
// Single thread.
#include <string>

#include <boost/filesystem/path.hpp>

namespace zarvo {

// Ends the process with status 2 and one line when file is anything but a
// regular file (a link, a device, a FIFO, a directory). Then removes the
// temporaries of earlier runs killed while they saved: regular files of
// this user's beside file, named as saves name them.
void prepareCursorFile(const boost::filesystem::path& file);

// file opened for reading, never through a link; -1 with errno set when it
// cannot be opened (ENOENT: there is none). Ends the process as above when
// something other than a regular file took its name meanwhile.
int openCursorFile(const boost::filesystem::path& file);

// Replaces file whole with text as described above; 0 or the errno of the
// step that failed, which leaves file as it was and no temporary behind.
int replaceCursorFile(const boost::filesystem::path& file, const std::string& text);

}  // namespace zarvo

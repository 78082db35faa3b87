#pragma once
// What makes a directory entry a stray one: anything the writer cannot be
// sure it made itself, and so never reads into an archive, writes or
// deletes. Its own files are regular files with one link, owned by its
// effective user; a planted link, a hard link to a file elsewhere or a
// file of another user is none of them. Any thread.
#include <sys/stat.h>

#include <system_error>

namespace zarvo {

// Value 0 for a file of the writer's own, given the status of the entry
// itself (lstat, or fstat of a descriptor opened with O_NOFOLLOW); else the
// reason, whose message is the text a report gives.
std::error_code strayEntry(const struct stat& status) noexcept;

// The reason for an entry that is a symbolic link (an open with O_NOFOLLOW
// gave ELOOP), and for a FIFO, device or directory.
std::error_code symbolicLinkEntry() noexcept;
std::error_code notRegularFile() noexcept;

// True for a reason given by the functions above.
bool isStrayEntry(const std::error_code& error) noexcept;

}  // namespace zarvo

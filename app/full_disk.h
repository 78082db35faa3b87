#pragma once
// A full disk is a pause, not an end. After a write of the current file
// failed for want of room, the main thread first removes the writer's own
// oldest stored files, one by one, and then waits, retrying every second,
// with every byte it has read still held. A stop ends the wait at once:
// one last attempt, and what still finds no room is counted as not stored.
#include <functional>

namespace zarvo {

struct CurrentFile;

// ENOSPC or EDQUOT.
bool isOutOfRoom(int error);

// `attempt` retries what failed with `error`; on failure it returns false
// with the new error (fatal errors never come back from it). True once an
// attempt succeeded; false after a stop, with file.givenUp set.
bool waitForRoom(CurrentFile& file, int error, const std::function<bool(int& error)>& attempt);

}  // namespace zarvo

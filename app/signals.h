#pragma once
// TERM, INT and HUP ask the writer to finish cleanly; ALRM and USR1 ask for
// a rotation now; PIPE is ignored. The signals stay blocked everywhere
// except inside waitReadable and pauseUnlessSignalled on the main thread, so
// they never interrupt a write, never reach the background threads, and
// cannot slip in between a check of the flags and the wait for input.
namespace zarvo {

// First thing in main, before any other thread is created (threads inherit
// the mask): from here on a signal waits, blocked, until the record loop
// takes it, instead of killing the process by its default action.
void installSignalHandling();

// Waits until fd can be read, or poll reports an error condition on it
// (POLLERR, POLLHUP, POLLNVAL) that the following read will report; false
// when a signal arrived instead, or `nanoseconds` (less than a second; -1:
// no limit) went by.
bool waitReadable(int fd, long nanoseconds = -1);

// Sleeps for up to `nanoseconds` (less than a second) with the signals let
// through as in waitReadable, so that one ends the pause at once; false when
// one did.
bool pauseUnlessSignalled(long nanoseconds);

bool stopRequested();
// stopRequested, counting a stop signal that is pending right now. Costs a
// system call while no stop was asked for: for rotation time, not per record.
bool stopPending();
// True once per rotation signal received since the last call.
bool takeRotateRequest();

}  // namespace zarvo

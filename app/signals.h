#pragma once
// TERM, INT and HUP ask the writer to finish cleanly; ALRM asks for a
// rotation now; PIPE is ignored. The signals stay blocked everywhere except
// inside waitReadable on the main thread, so they never interrupt a write,
// never reach the background threads, and cannot slip in between a check of
// the flags and the wait for input.
namespace zarvo {

// Main thread, before any other thread is created (threads inherit the mask).
void installSignalHandling();

// Waits until fd can be read; false when a signal arrived instead.
bool waitReadable(int fd);

bool stopRequested();
// True once per SIGALRM received since the last call.
bool takeRotateRequest();

}  // namespace zarvo

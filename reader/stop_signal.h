#pragma once
// TERM and INT stop the follower within a second whatever it is doing. The
// handler sets a flag and wakes the waits through a pipe; when the signal
// finds the reader blocked writing to a standard output that nobody reads,
// it ends the process at once with the status earned so far, since nothing
// else would ever end that write. Main thread only.

namespace zarvo {

void installStopHandler();
bool stopRequested();
// Readable once a stop was asked for; -1 before installStopHandler().
int stopDescriptor();
// The status an ending inside a blocked write gives: 1 once a gap was said.
void setStopStatus(int status);

// Marks a write that may block; the stop flag is checked inside the mark,
// so a signal either ends the write or is seen before it starts.
class BlockingWrite {
 public:
  BlockingWrite();
  ~BlockingWrite();
  BlockingWrite(const BlockingWrite&) = delete;
  BlockingWrite& operator=(const BlockingWrite&) = delete;
  // True when a stop came before the write began: do not start it.
  bool stopped() const;
};

}  // namespace zarvo

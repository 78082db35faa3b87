#pragma once
// A pipe or FIFO on standard input gets a larger buffer, so that the proxy
// can go on writing while the writer is busy, pauses between reads or
// restarts (a FIFO held open by a supervisor keeps what was written).
namespace zarvo {

// Where fd is a pipe or FIFO, asks for a 1 MiB buffer (at most the system's
// pipe-max-size). Anything else is left alone; a refusal leaves the pipe as
// it was and is no error. Start-up only: it reads a file under /proc.
void enlargeInputPipe(int fd);

}  // namespace zarvo

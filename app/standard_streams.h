#pragma once
// A writer started with a standard descriptor closed would hand that number
// to the next file it opens, and then print messages into a log file or read
// its input from the directory. The three numbers are taken first.
namespace zarvo {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed; false
// when standard input was among them, or is open but not for reading (the
// write end of a pipe, a FIFO opened write-only): poll would never report
// such an input ready, and the writer would wait for good.
bool reserveStandardStreams();

}  // namespace zarvo

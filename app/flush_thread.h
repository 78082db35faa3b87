#pragma once
// Every five seconds, hands what waits in the current file's stdio buffer to
// the operating system, so a quiet input still reaches the disk.
namespace zarvo {

struct CurrentFile;

// Thread body; never returns. A failed flush ends the process like any
// failed write.
[[noreturn]] void runFlushThread(CurrentFile& file);

}  // namespace zarvo

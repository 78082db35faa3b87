#pragma once
// Every five seconds, hands what waits in the current file's stdio buffer to
// the operating system, so a quiet input still reaches the disk.
namespace zarvo {

struct CurrentFile;

// Thread body; never returns. A failed flush ends the process like any
// failed write, but on a full disk the bytes stay buffered: the record loop
// flushes before every wait and waits for room itself.
[[noreturn]] void runFlushThread(CurrentFile& file);

}  // namespace zarvo

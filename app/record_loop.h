#pragma once
// The main thread's work after start-up: standard input, chunk by chunk,
// into the current file behind the record prefix, with rotation past the size
// limit. Ends the process: status 0 at the end of input or on a stop signal,
// status 1 on any failure. Input that trickles in from a pipe is read about
// once a millisecond, many records a read; what was read is flushed before
// every wait or pause.
#include <cstdint>

namespace zarvo {

struct CurrentFile;
class ChunkReader;
class FileStoreService;
class LinePrefix;

[[noreturn]] void runRecordLoop(CurrentFile& file, FileStoreService& service, LinePrefix& prefix,
                                ChunkReader& reader, uint64_t maxFileSize);

}  // namespace zarvo

#pragma once
// One finished log file into a gzip archive beside it (path + ".gz"). Runs
// on the archive thread. The archive is written under a temporary name and
// renamed to its own only when whole and synced, so the ".gz" name never
// shows a partial archive. It never prints, and never deletes anything but
// an archive of its own whose directory entry could not be synced: the
// caller decides what to keep.
#include <atomic>
#include <mutex>
#include <system_error>

#include <boost/filesystem/path.hpp>

#include "compress/stray_entry.h"

namespace zarvo {

// output becomes input's text + ".gz" before anything can fail.
// archiveOpened is true once this call created the temporary
// archive (temporaryArchivePath(output)): after a failure the caller removes
// it then. A link or a directory at output is refused (ELOOP, EISDIR) and
// left alone, as is any file at output after a failure.
// Value 0 (system category): the archive is complete and durable, archive
// and directory entry synced, so input may go. Otherwise the failure, input
// untouched. An exception other than std::system_error ends the process.
// failed, when given, names the entry a failure came from: input when it
// cannot be opened or read, output when a link or directory holds it, the
// temporary when it cannot be created; input again when writing fails.
// A stray entry at input (isStrayEntry(): a link, no regular file, a file
// with a second name or of another user) is refused without reading or
// waiting on it, and left alone; so is anything at the temporary's name,
// which is only ever created new. The archive gets the input's mode.
// level: zlib's 1 (fastest) to 9 (best); the header's extra-flags byte says
// 4 for 1, 2 for 9. watch, when given, lets another thread give the call
// up: it gives ECANCELED once that is seen, between blocks or when the
// archive is about to take its name.
struct CompressionWatch;
std::error_code compressFile(const boost::filesystem::path& input,
                             boost::filesystem::path& output, bool& archiveOpened,
                             boost::filesystem::path* failed = nullptr, int level = 9,
                             CompressionWatch* watch = nullptr) noexcept;

// One compression as seen by a thread that may give it up while it runs.
// The archive takes its name under `lock`, and only while the compression
// is still wanted; so whoever gives it up under `lock` learns whether the
// name was taken (and is theirs to remove), or knows it never will be.
struct CompressionWatch {
  enum State { kRunning, kAbandoned, kNamed };
  explicit CompressionWatch(std::mutex& namingLock) : lock(namingLock) {}
  std::mutex& lock;
  std::atomic<int> state{kRunning};
};

// Where the archive `archive` is written before it takes its name.
boost::filesystem::path temporaryArchivePath(const boost::filesystem::path& archive);

}  // namespace zarvo

#include "filestore/retention_queue.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

#include <boost/filesystem/operations.hpp>

#include "compress/compress_file.h"
#include "filestore/file_name.h"
#include "filestore/messages.h"

namespace zarvo {

RetentionQueue::RetentionQueue(uint32_t maxEntries) : capacity(maxEntries) {}

void RetentionQueue::handleFinishedFile(const boost::filesystem::path& path,
                                        uint64_t newerEntries) noexcept {
  // Compressing it would only feed the eviction: the entries kept in the
  // end are the same, and a backlog shrinks as fast as files can be removed.
  // Every entry held now is older and just as surely evicted; they go
  // first, so what stays on disk is always an unbroken run of the newest.
  if (newerEntries >= capacity) {
    for (; !files.empty(); files.pop_front()) removeFile(files.front());
    removeFile(path);
    return;
  }
  if (endsWith(path.string(), kCompressedSuffix)) {
    if (files.empty() || !(files.back() == path)) push(path);
    return;
  }
  // The oldest entry makes way before the compression starts rather than
  // after it: while the compression waits on the disk, the directory holds
  // the file and its temporary beside one archive fewer.
  if (files.size() >= capacity) {
    removeFile(files.front());
    files.pop_front();
  }
  boost::filesystem::path compressedPath;
  switch (compress(path, compressedPath, true)) {
    case Compressed::kDone:
      push(compressedPath);
      removeFile(path);
      return;
    case Compressed::kKept:
      push(path);
      return;
    case Compressed::kStray:
      return;
  }
}

// A failure is reported on the first attempt, and one for want of room
// puts the file on the waiting list; a retry that fails for want of room
// again stays silent.
RetentionQueue::Compressed RetentionQueue::compress(const boost::filesystem::path& path,
                                                    boost::filesystem::path& compressedPath,
                                                    bool firstAttempt) noexcept {
  boost::filesystem::path failed;
  bool archiveOpened = false;
  const std::error_code error = compressFile(path, compressedPath, archiveOpened, &failed);
  if (!error) return Compressed::kDone;
  const bool lackOfRoom = error.value() == ENOSPC || error.value() == EDQUOT;
  // The archive's own name never held this attempt; whatever is there (a
  // good archive of an earlier run, say) stays. The partial one goes before
  // the report, so that whoever reads it sees the end state.
  if (archiveOpened) removeFile(temporaryArchivePath(compressedPath));
  if (firstAttempt || !lackOfRoom)
    printError("Cannot compress file: `", failed.string(), error.message());
  // Something else took the file's name (a link, a FIFO, a file with a
  // second name or of another user): it is no entry of ours, to keep or to
  // retire; it stays as it is, reported this once.
  if (failed == path && isStrayEntry(error)) {
    stopWaiting(path);
    return Compressed::kStray;
  }
  if (firstAttempt && lackOfRoom) waitingForRoom.push_back(path);
  if (!lackOfRoom) stopWaiting(path);
  return Compressed::kKept;
}

bool RetentionQueue::removeOldest(const std::string& why) noexcept {
  if (files.empty()) return false;
  const boost::filesystem::path oldest = files.front();
  files.pop_front();
  stopWaiting(oldest);
  boost::system::error_code error;
  if (boost::filesystem::remove(oldest, error))
    printMessage(why + ": removed " + quoted(oldest) + " to make room");
  if (error) printError("Cannot remove file: `", oldest.string(), error.message());
  return true;
}

namespace {

// Room for the whole file: its archive is smaller unless nothing compresses.
bool roomFor(const boost::filesystem::path& path) {
  struct stat file;
  struct statvfs disk;
  return stat(path.c_str(), &file) == 0 && statvfs(path.parent_path().c_str(), &disk) == 0 &&
         static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize >= static_cast<uint64_t>(file.st_size);
}

}  // namespace

bool RetentionQueue::retryWhereRoom() noexcept {
  for (const boost::filesystem::path& path : std::vector<boost::filesystem::path>(waitingForRoom)) {
    const auto entry = std::find(files.begin(), files.end(), path);
    boost::filesystem::path compressedPath;
    if (entry == files.end()) {  // evicted meanwhile
      stopWaiting(path);
    } else if (roomFor(path)) {
      const Compressed result = compress(path, compressedPath, false);
      if (result == Compressed::kStray) files.erase(entry);
      if (result != Compressed::kDone) continue;
      *entry = compressedPath;  // in the place of the ".log": retention order stays
      stopWaiting(path);
      removeFile(path);
    }
  }
  return !waitingForRoom.empty();
}

void RetentionQueue::stopWaiting(const boost::filesystem::path& path) noexcept {
  const auto waiting = std::find(waitingForRoom.begin(), waitingForRoom.end(), path);
  if (waiting != waitingForRoom.end()) waitingForRoom.erase(waiting);
}

void RetentionQueue::push(const boost::filesystem::path& path) noexcept {
  files.push_back(path);
  if (files.size() > static_cast<uint64_t>(capacity)) {
    removeFile(files.front());
    files.pop_front();
  }
}

void RetentionQueue::removeFile(const boost::filesystem::path& path) noexcept {
  boost::system::error_code error;
  boost::filesystem::remove(path, error);
  if (error) printError("Cannot remove file: `", path.string(), error.message());
}

}  // namespace zarvo

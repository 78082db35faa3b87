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
  boost::filesystem::path compressedPath;
  if (!compress(path, compressedPath, true)) {
    push(path);
    return;
  }
  push(compressedPath);
  removeFile(path);
}

// False when the file stays as it is: the failure is reported on the first
// attempt, and one for want of room puts the file on the waiting list.
bool RetentionQueue::compress(const boost::filesystem::path& path,
                              boost::filesystem::path& compressedPath, bool firstAttempt) noexcept {
  bool archiveOpened = false;
  std::error_code error = compressFile(path, compressedPath, archiveOpened);
  if (!error) return true;
  const bool lackOfRoom = error.value() == ENOSPC || error.value() == EDQUOT;
  if (firstAttempt) printError("Cannot compress file: `", path.string(), error.message());
  if (firstAttempt && lackOfRoom) waitingForRoom.push_back(path);
  if (!firstAttempt && !lackOfRoom) {
    printError("Cannot compress file: `", path.string(), error.message());
    stopWaiting(path);
  }
  // The archive's own name never held this attempt; whatever is there
  // (a good archive of an earlier run, say) stays.
  if (archiveOpened) removeFile(temporaryArchivePath(compressedPath));
  return false;
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
    } else if (roomFor(path) && compress(path, compressedPath, false)) {
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

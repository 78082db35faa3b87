#include "filestore/retention_queue.h"

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
  boost::filesystem::path compressedPath, failed;
  bool archiveOpened = false;
  std::error_code error = compressFile(path, compressedPath, archiveOpened, &failed);
  if (error) {
    // The archive's own name never held this attempt; whatever is there
    // (a good archive of an earlier run, say) stays. The partial one goes
    // before the report, so that whoever reads it sees the end state.
    if (archiveOpened) removeFile(temporaryArchivePath(compressedPath));
    printError("Cannot compress file: `", failed.string(), error.message());
    // Something else took the file's name: it is no entry of ours, to keep
    // or to retire; it stays as it is, reported this once.
    if (failed == path && error == notRegularFile()) return;
    push(path);
    return;
  }
  push(compressedPath);
  removeFile(path);
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

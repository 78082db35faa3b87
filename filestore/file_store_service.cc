#include "filestore/file_store_service.h"

#include <limits>

#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>

#include "filestore/bare_leftover.h"
#include "filestore/directory_lock.h"
#include "filestore/file_name.h"
#include "filestore/messages.h"
#include "filestore/scan_directory.h"
#include "filestore/temporary_files.h"

namespace zarvo {
namespace {

uint32_t retentionCapacity(uint32_t maxFileNum) { return maxFileNum >= 2 ? maxFileNum - 1 : 1; }

}  // namespace

FileStoreService::FileStoreService(std::string basename, boost::filesystem::path logDirectory,
                                   uint32_t maxFileNum)
    : workGuard(std::make_unique<boost::asio::executor_work_guard<
                    boost::asio::io_context::executor_type>>(executor.get_executor())),
      prefix(std::move(basename)),
      directory(std::move(logDirectory)),
      linkPath(directory / (prefix + std::string(kLinkSuffix))),
      retention(retentionCapacity(maxFileNum)) {
  validateDirectory();
  directoryLock = lockDirectory(directory);
  removeTemporaries(directory, prefix);
  queueLeftoverFiles();
}

void FileStoreService::validateDirectory() const { validateLogDirectory(directory); }

void FileStoreService::queueLeftoverFiles() {
  boost::system::error_code error;
  NumberedFile last;
  std::vector<NumberedFile> found = scanDirectory(directory.string(), prefix, error,
                                                  std::string(kLogSuffix), last);
  if (error) fatalError("Cannot list directory `", quoted(directory), error.message());
  // The next file must still get a number the counter can hold.
  if (last.number >= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    fatalError("Cannot continue numbering after `", quoted(last.path),
               "file numbers end at 2147483647");
  // The scan lists N.log right before N.log.gz: the archive joins the
  // entry of its ".log", whose compression replaces it. Files beyond what
  // retention keeps are removed as they are added, uncompressed.
  for (const NumberedFile& file : found) {
    if (!endsWith(file.path.string(), kCompressedSuffix) && holdsNoRecord(file.path)) {
      removeBareLeftover(file.path);
      continue;
    }
    retention.add(file.path, true);
    postArchiveTask();
  }
  fileNumber = static_cast<int32_t>(last.number);
}

// Not archived, so it takes no retention slot; its number stays used.
void FileStoreService::removeBareLeftover(const boost::filesystem::path& path) {
  boost::system::error_code error;
  boost::filesystem::remove(path, error);
  if (error) printError("Cannot remove file: `", path.string(), error.message());
}

// A file pushed out by this one is removed here, on the main thread, before
// the next file is created: the archive thread may be busy for seconds.
void FileStoreService::archiveFile(const boost::filesystem::path& path) {
  retention.add(path);
  postArchiveTask();
}

// Each task compresses the newest file waiting, if any: there are as many
// tasks as files, so every file handed over before a task ran is handled
// once the task has run.
void FileStoreService::postArchiveTask() {
  boost::asio::post(executor, [this] {
    retention.compressNewest();
    retryLaterWhileWaiting();
  });
}

std::future<bool> FileStoreService::whenCaughtUp() {
  auto done = std::make_shared<std::promise<bool>>();
  boost::asio::post(executor, [done] { done->set_value(true); });
  return done->get_future();
}

// A compression that failed for want of room is tried again without
// waiting for a restart, but only once the disk has room for it.
void FileStoreService::retryLaterWhileWaiting() {
  if (retryArmed || !retention.waitForRoom()) return;
  retryArmed = true;
  retryTimer.expires_after(std::chrono::seconds(1));
  retryTimer.async_wait([this](const boost::system::error_code&) {
    retryArmed = false;
    retention.retryWhereRoom();
    retryLaterWhileWaiting();
  });
}

void FileStoreService::runArchiveTasks() { executor.run(); }

void FileStoreService::runQueuedTasks() {
  executor.restart();
  executor.poll();
}

}  // namespace zarvo

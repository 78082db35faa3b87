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
      retention(retentionCapacity(maxFileNum)),
      backlogLimit(retentionCapacity(maxFileNum) + 1) {
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
  bool removedPrevious = false;
  for (size_t i = 0; i < found.size(); ++i) {
    const std::string path = found[i].path.string();
    if (!endsWith(path, kCompressedSuffix) && holdsNoRecord(found[i].path)) {
      removeBareLeftover(found[i].path);
      removedPrevious = true;
      continue;
    }
    // The scan lists N.log right before N.log.gz: compressing the ".log"
    // enters that very archive, and the archive's own task then adds nothing.
    // (Should the compression fail, it does add one: counting too few only
    // delays a skip.) A ".log" removed for holding no record enters nothing.
    const bool archiveOfThePrevious =
        i > 0 && !removedPrevious &&
        path == found[i - 1].path.string() + std::string(kCompressedSuffix);
    postArchiveTask(found[i].path, !archiveOfThePrevious);
    removedPrevious = false;
  }
  fileNumber = static_cast<int32_t>(last.number);
}

// Not archived, so it takes no retention slot; its number stays used.
void FileStoreService::removeBareLeftover(const boost::filesystem::path& path) {
  boost::system::error_code error;
  boost::filesystem::remove(path, error);
  if (error) printError("Cannot remove file: `", path.string(), error.message());
}

void FileStoreService::archiveFile(const boost::filesystem::path& path) {
  // Before the file is promised: the archive thread never counts it twice.
  if (holding) {
    holding = false;
    currentFileHeld.store(false, std::memory_order_relaxed);
  }
  postArchiveTask(path, true);
}

void FileStoreService::postArchiveTask(const boost::filesystem::path& path, bool addsEntry) {
  // Only this thread writes the counter. Release, and acquire below: a task
  // that sees the file promised also sees that it is no longer held, so it
  // is never counted twice; seeing a smaller value only delays a skip.
  const uint64_t added = addsEntry ? 1 : 0;
  const uint64_t position = entriesPromised.fetch_add(added, std::memory_order_release) + added;
  ++tasksPosted;
  boost::asio::post(executor, [this, path, position] {
    const uint64_t promised = entriesPromised.load(std::memory_order_acquire);
    const uint64_t held = currentFileHeld.load(std::memory_order_relaxed) ? 1 : 0;
    retention.handleFinishedFile(path, promised - position + held);
    // Release: the files this task removed are gone before the main thread
    // sees room for the next one.
    tasksFinished.fetch_add(1, std::memory_order_release);
    retryLaterWhileWaiting();
  });
}

std::future<bool> FileStoreService::removeOldestFile(std::string why) {
  auto removed = std::make_shared<std::promise<bool>>();
  boost::asio::post(executor, [this, removed, why = std::move(why)] {
    removed->set_value(retention.removeOldest(why));
  });
  return removed->get_future();
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

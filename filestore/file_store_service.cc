#include "filestore/file_store_service.h"

#include <limits>

#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>

#include "filestore/directory_lock.h"
#include "filestore/file_name.h"
#include "filestore/messages.h"
#include "filestore/scan_directory.h"

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
  queueLeftoverFiles();
}

void FileStoreService::validateDirectory() const { validateLogDirectory(directory); }

void FileStoreService::queueLeftoverFiles() {
  boost::system::error_code error;
  std::vector<NumberedFile> found = scanDirectory(directory.string(), prefix, error,
                                                  std::string(kLogSuffix));
  if (error) fatalError("Cannot list directory `", quoted(directory), error.message());
  if (found.empty()) return;
  // The next file must still get a number the counter can hold.
  const NumberedFile& last = found.back();
  if (last.number >= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    fatalError("Cannot continue numbering after `", quoted(last.path),
               "file numbers end at 2147483647");
  for (const NumberedFile& file : found) archiveFile(file.path);
  fileNumber = static_cast<int32_t>(last.number);
}

void FileStoreService::archiveFile(const boost::filesystem::path& path) {
  boost::asio::post(executor, [this, path] { retention.handleFinishedFile(path); });
}

void FileStoreService::runArchiveTasks() { executor.run(); }

void FileStoreService::runQueuedTasks() {
  executor.restart();
  executor.poll();
}

}  // namespace zarvo

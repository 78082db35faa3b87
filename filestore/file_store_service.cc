#include "filestore/file_store_service.h"

#include <limits>

#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>

#include "filestore/bare_leftover.h"
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

void FileStoreService::validateDirectory() const {
  boost::system::error_code ec;
  boost::filesystem::file_status status = boost::filesystem::status(directory, ec);
  if (status.type() == boost::filesystem::file_not_found)
    fatalLine("Directory `" + quoted(directory) + "` does not exist.");
  if (ec) fatalError("Cannot query status of `", quoted(directory), ec.message());
  if (status.type() != boost::filesystem::directory_file)
    fatalLine("`" + quoted(directory) + "` is not a directory.");
}

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
  for (const NumberedFile& file : found) {
    if (!endsWith(file.path.string(), kCompressedSuffix) && holdsNoRecord(file.path)) {
      removeBareLeftover(file.path);
    } else {
      archiveFile(file.path);
    }
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
  boost::asio::post(executor, [this, path] { retention.handleFinishedFile(path); });
}

void FileStoreService::runArchiveTasks() { executor.run(); }

void FileStoreService::runQueuedTasks() {
  executor.restart();
  executor.poll();
}

}  // namespace zarvo

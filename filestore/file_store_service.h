#pragma once
// The owner of the log directory: validates and locks it, numbers the log
// files, keeps the link to the current one, and archives finished files on
// its own executor, run by the archive thread. Shared by the main thread
// (construction, nextFilePath, archiveFile) and the archive thread
// (runArchiveTasks); the two meet in the executor's queue and in the
// retention queue's lock.
#include <cstdint>
#include <future>
#include <memory>
#include <string>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/path.hpp>

#include "filestore/retention_queue.h"

namespace zarvo {

class FileStoreService {
 public:
  // Ends the process with a message when the directory is missing, not a
  // directory, unreadable or in use by another writer. Files found there are
  // queued for archiving in ascending order, but those that hold no record
  // are removed; numbering continues after every name of ours found.
  FileStoreService(std::string prefix, boost::filesystem::path directory, uint32_t maxFileNum);
  FileStoreService(const FileStoreService&) = delete;
  FileStoreService& operator=(const FileStoreService&) = delete;

  // Main thread, caller holds the CurrentFile mutex. Creates the next file
  // empty, opens it for writing and returns its path. fd is its descriptor,
  // owned by the caller, or -1 with errno set. Only a file it creates
  // itself is opened: a number whose name is taken is passed by, with a
  // message; the link is pointed at the file only once it is open.
  boost::filesystem::path nextFilePath(int& fd);

  // Main thread. The caller has closed the file: from now on the archive
  // thread compresses and deletes it without further coordination.
  void archiveFile(const boost::filesystem::path& path);

  // Main thread, on a full disk: removes the oldest stored file (an
  // archive, or a ".log" not yet or not compressed), never the current one,
  // and prints a line opened by `why`. False when nothing of ours is left.
  bool removeOldestFile(const std::string& why) { return retention.removeOldest(why); }
  // True once every file handed over before has been handled: a backlog of
  // finished files may be all that filled the disk.
  std::future<bool> whenCaughtUp();

  // Archive thread body: runs archive tasks in posting order, forever.
  void runArchiveTasks();
  // Runs the tasks queued so far on the calling thread (tests).
  void runQueuedTasks();

 private:
  void validateDirectory() const;
  void queueLeftoverFiles();
  void removeBareLeftover(const boost::filesystem::path& path);
  void postArchiveTask();
  std::string linkText(const boost::filesystem::path& path, const std::string& name) const;
  void pointLinkAt(const std::string& target) const;
  void retryLaterWhileWaiting();

  boost::asio::io_context executor;
  // Keeps run() waiting for the next finished file while the queue is empty.
  std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      workGuard;
  int32_t fileNumber = 0;
  std::string prefix;
  boost::filesystem::path directory;
  boost::filesystem::path linkPath;
  RetentionQueue retention;  // both threads, under its own lock
  // Once a second while archives wait for room (archive thread only).
  boost::asio::steady_timer retryTimer{executor};
  bool retryArmed = false;
  int directoryLock = -1;  // held open, and so locked, until the process ends
};

}  // namespace zarvo

#pragma once
// The owner of the log directory: validates and locks it, numbers the log
// files, keeps the link to the current one, and archives finished files on
// its own executor, run by the archive thread. Shared by the main thread
// (construction, nextFilePath, archiveFile) and the archive thread
// (runArchiveTasks); the two meet only in the executor's queue.
#include <atomic>
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

  // Main thread, on a full disk: the archive thread removes the oldest
  // stored file (an archive, or a ".log" that could not be compressed),
  // never the current one, and prints a line opened by `why`. False when
  // nothing of ours is left. Every file handed over before is handled first.
  std::future<bool> removeOldestFile(std::string why);
  // True once every file handed over before has been handled: a backlog of
  // finished files may be all that filled the disk.
  std::future<bool> whenCaughtUp();

  // Main thread, when a rotation is due. True while one more finished file
  // than retention keeps archives waits for the archive thread: one more
  // rotation could take the directory past twice its number of kept files
  // plus two, so the caller holds it back and the current file grows
  // instead. The held file counts as a sure entry from then on, so that the
  // files it will push out are removed unread. An atomic load, and a store
  // once per hold.
  bool rotationMustWait() {
    if (tasksPosted - tasksFinished.load(std::memory_order_acquire) < backlogLimit) return false;
    if (!holding) {
      holding = true;
      currentFileHeld.store(true, std::memory_order_relaxed);
    }
    return true;
  }

  // Archive thread body: runs archive tasks in posting order, forever.
  void runArchiveTasks();
  // Runs the tasks queued so far on the calling thread (tests).
  void runQueuedTasks();

 private:
  void validateDirectory() const;
  void queueLeftoverFiles();
  void removeBareLeftover(const boost::filesystem::path& path);
  // addsEntry: the file will surely put an entry into the retention queue
  // when the queue is fully worked off (every file but a start-up archive
  // that its own ".log", queued just before, already stands for).
  void postArchiveTask(const boost::filesystem::path& path, bool addsEntry);
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
  RetentionQueue retention;
  // Once a second while archives wait for room (archive thread only).
  boost::asio::steady_timer retryTimer{executor};
  bool retryArmed = false;
  // Files handed over that will each add an entry: the archive thread
  // compares it with a task's own position to see how many newer entries
  // are already on their way. Written by the main thread only.
  std::atomic<uint64_t> entriesPromised{0};
  // Tasks handed to the archive thread (main thread only) and those it has
  // worked off, removals included.
  uint64_t tasksPosted = 0;
  std::atomic<uint64_t> tasksFinished{0};
  uint64_t backlogLimit;
  // The current file is past its limit and waits to be handed over; main
  // thread's own copy beside it.
  std::atomic<bool> currentFileHeld{false};
  bool holding = false;
  int directoryLock = -1;  // held open, and so locked, until the process ends
};

}  // namespace zarvo

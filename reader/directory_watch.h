#pragma once
// Wakes the follower when something happens in the log directory, or when
// TERM or INT asks it to stop. Events come from inotify on the directory;
// where inotify is refused (or the watch is lost) it falls back to waking
// every 50 ms. TERM and INT are blocked from construction on and taken
// through a signalfd, so they never interrupt a write. Single thread.
#include <cstdint>

#include <boost/filesystem/path.hpp>

namespace zarvo {

class DirectoryWatch {
 public:
  explicit DirectoryWatch(const boost::filesystem::path& directory);
  ~DirectoryWatch();
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Waits for a change, or at most timeoutMillis when that is not negative;
  // false when a stop signal came instead, or standard output lost its
  // reader. current: the number whose ".log" is being followed.
  bool wait(uint64_t current, int timeoutMillis = -1);
  // True when a stop signal is pending; does not wait.
  bool stopRequested();

  bool polling() const { return inotify_ < 0; }
  // Since the last wait: the highest file number an event named (0: none),
  uint64_t highestNamed() const { return highestNamed_; }
  // whether the current number's ".log" was created (again),
  bool currentCreated() const { return currentCreated_; }
  // and whether events were lost or a periodic rescan is due.
  bool rescanDue() const { return rescanDue_; }

 private:
  void readEvents(uint64_t current);
  void stopWatching();

  int inotify_ = -1;
  int signals_ = -1;
  unsigned ticks_ = 0;
  uint64_t highestNamed_ = 0;
  bool currentCreated_ = false;
  bool rescanDue_ = false;
};

}  // namespace zarvo

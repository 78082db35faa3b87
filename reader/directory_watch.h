#pragma once
// Wakes the follower when an entry of the log directory is created, moved,
// deleted or written, or when TERM or INT asks it to stop. Events come from
// inotify on the directory; where inotify is refused (or the watch is lost)
// it falls back to waking every 50 ms. It also wakes once a second when
// nothing happens. Single thread.
#include <boost/filesystem/path.hpp>

namespace zarvo {

class DirectoryWatch {
 public:
  // The stop handler must be installed first (stop_signal.h).
  explicit DirectoryWatch(const boost::filesystem::path& directory);
  ~DirectoryWatch();
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Waits for a change, at most a second (50 ms when polling), or
  // timeoutMillis when that is shorter and not negative; false when a stop
  // signal came instead, or standard output lost its reader
  // (stopRequested() tells which).
  bool wait(int timeoutMillis = -1);

  bool polling() const { return inotify_ < 0; }
  // Since the last wait: whether a numbered entry came, went or moved (or
  // events were lost, or the directory itself went): the listing is stale.
  bool rescanDue() const { return rescanDue_; }

 private:
  void readEvents();
  void stopWatching();

  int inotify_ = -1;
  bool rescanDue_ = false;
};

}  // namespace zarvo

#include "reader/directory_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "filestore/file_name.h"
#include "filestore/messages.h"
#include "reader/stop_signal.h"

namespace zarvo {
namespace {

constexpr int kPollMillis = 50;
// A directory removed while a file in it is held open sends no event until
// that file is closed: the follower looks at the directory this often.
constexpr int kIdleMillis = 1000;

constexpr uint32_t kEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_MODIFY | IN_DELETE |
                             IN_ONLYDIR | IN_DELETE_SELF | IN_MOVE_SELF;

}  // namespace

DirectoryWatch::DirectoryWatch(const boost::filesystem::path& directory) {
  inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_ >= 0 && inotify_add_watch(inotify_, directory.c_str(), kEvents) < 0)
    stopWatching();
}

DirectoryWatch::~DirectoryWatch() { stopWatching(); }

void DirectoryWatch::stopWatching() {
  if (inotify_ >= 0) close(inotify_);
  inotify_ = -1;
}

bool DirectoryWatch::wait(int timeoutMillis) {
  rescanDue_ = false;
  if (stopRequested()) return false;
  // Standard output too: a reader of the pipe that went away (`| head`)
  // ends the follower now, not at the next record.
  pollfd fds[3] = {{stopDescriptor(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}, {inotify_, POLLIN, 0}};
  const int idle = polling() ? kPollMillis : kIdleMillis;
  if (timeoutMillis < 0 || timeoutMillis > idle) timeoutMillis = idle;
  int ready = poll(fds, polling() ? 2 : 3, timeoutMillis);
  if (ready < 0 && errno != EINTR) fatalLine("Cannot wait for changes: " + errorText(errno));
  if (stopRequested() || (fds[1].revents & (POLLERR | POLLHUP))) return false;
  if (polling()) {
    rescanDue_ = true;
  } else {
    readEvents();
  }
  return true;
}

void DirectoryWatch::readEvents() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    ssize_t n = read(inotify_, buffer, sizeof buffer);
    if (n <= 0) return;  // EAGAIN: all taken
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) rescanDue_ = true;
      if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        // The directory went away or moved: the listing tells what follows.
        stopWatching();
        rescanDue_ = true;
        return;
      }
      if (event->len == 0 || (event->mask & IN_MODIFY)) continue;
      std::string_view name(event->name, strnlen(event->name, event->len));
      if (parseFileNumber(name, kFilePrefix, kLogSuffix)) rescanDue_ = true;
    }
  }
}

}  // namespace zarvo

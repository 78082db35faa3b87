#include "reader/directory_watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "filestore/file_name.h"
#include "filestore/messages.h"

namespace zarvo {
namespace {

constexpr int kPollMillis = 50;
// When polling, the whole directory is listed about once a second.
constexpr unsigned kTicksPerRescan = 20;

constexpr uint32_t kEvents = IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_DELETE | IN_ONLYDIR |
                             IN_DELETE_SELF | IN_MOVE_SELF;

}  // namespace

DirectoryWatch::DirectoryWatch(const boost::filesystem::path& directory) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  signals_ = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals_ < 0) fatalLine("Cannot wait for signals: " + errorText(errno));
  inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_ >= 0 && inotify_add_watch(inotify_, directory.c_str(), kEvents) < 0)
    stopWatching();
}

DirectoryWatch::~DirectoryWatch() {
  stopWatching();
  close(signals_);
}

void DirectoryWatch::stopWatching() {
  if (inotify_ >= 0) close(inotify_);
  inotify_ = -1;
}

bool DirectoryWatch::wait(uint64_t current, int timeoutMillis) {
  highestNamed_ = 0;
  currentCreated_ = false;
  rescanDue_ = false;
  // Standard output too: a reader of the pipe that went away (`| head`)
  // ends the follower now, not at the next record.
  pollfd fds[3] = {{signals_, POLLIN, 0}, {STDOUT_FILENO, 0, 0}, {inotify_, POLLIN, 0}};
  if (polling() && (timeoutMillis < 0 || timeoutMillis > kPollMillis)) timeoutMillis = kPollMillis;
  int ready = poll(fds, polling() ? 2 : 3, timeoutMillis);
  if (ready < 0 && errno != EINTR) fatalLine("Cannot wait for changes: " + errorText(errno));
  if (stopRequested() || (fds[1].revents & (POLLERR | POLLHUP))) return false;
  if (!polling()) readEvents(current);
  if (polling() && ++ticks_ % kTicksPerRescan == 0) rescanDue_ = true;
  return true;
}

bool DirectoryWatch::stopRequested() {
  signalfd_siginfo info;
  return read(signals_, &info, sizeof info) == sizeof info;
}

void DirectoryWatch::readEvents(uint64_t current) {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    ssize_t n = read(inotify_, buffer, sizeof buffer);
    if (n <= 0) return;  // EAGAIN: all taken
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) rescanDue_ = true;
      if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        // The directory went away or moved: only polling can tell what follows.
        stopWatching();
        rescanDue_ = true;
        return;
      }
      if (event->len == 0) continue;
      std::string_view name(event->name, strnlen(event->name, event->len));
      std::optional<uint64_t> number = parseFileNumber(name, kFilePrefix, kLogSuffix);
      if (!number) continue;
      if (*number > highestNamed_) highestNamed_ = *number;
      if (*number == current && (event->mask & IN_CREATE) && !endsWith(name, kCompressedSuffix))
        currentCreated_ = true;
    }
  }
}

}  // namespace zarvo

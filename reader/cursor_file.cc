#include "reader/cursor_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "filestore/messages.h"

namespace zarvo {
namespace {

constexpr int64_t kSaveIntervalMillis = 1000;
constexpr int kDrainMillis = 500;
// A shipper being stopped goes on reading for a moment (syslog-ng for
// 100 ms), then drops what it has read but not yet queued and closes the
// pipe. Bytes count as taken once they left the pipe this long ago.
constexpr int64_t kSettleMillis = 250;
constexpr int64_t kSampleMillis = 25;
// How long a stopped reader watches for that close.
constexpr int kGoneMillis = 300;

int64_t nowMillis() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Writes all of text to a new file at path and makes it durable; 0 or errno.
int writeDurably(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = 0;
  for (std::size_t at = 0; at < text.size() && error == 0;) {
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n > 0) at += static_cast<std::size_t>(n);
    else if (errno != EINTR) error = errno;
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

CursorKeeper::CursorKeeper(boost::filesystem::path file, int fd)
    : file_(std::move(file)), fd_(fd), marks_(kMarks) {
  struct stat st;
  pipe_ = fstat(fd_, &st) == 0 && S_ISFIFO(st.st_mode);
}

std::optional<Cursor> CursorKeeper::load() {
  if (file_.empty()) return std::nullopt;
  const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return std::nullopt;
  if (fd < 0) fatalError("Cannot read cursor file `", quoted(file_), errorText(errno));
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0 && text.size() < 4096;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fatalError("Cannot read cursor file `", quoted(file_), errorText(errno));
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  while (!text.empty() && isSpace(text.back())) text.pop_back();
  std::size_t first = 0;
  while (first < text.size() && isSpace(text[first])) ++first;
  text.erase(0, first);
  if (text.empty()) return std::nullopt;
  std::optional<Cursor> cursor = parseCursor(text);
  if (!cursor) cursorError(quotedText(text), "not FILE:OFFSET (in " + quoted(file_) + ")");
  return cursor;
}

void CursorKeeper::startAt(const Cursor& cursor) {
  covered_ = cursor;
  saved_ = cursor;
}

uint64_t CursorKeeper::delivered(uint64_t written) const {
  if (!pipe_) return written;
  int waiting = 0;
  if (ioctl(fd_, FIONREAD, &waiting) != 0) return 0;  // cannot tell: nothing more is covered
  return written - static_cast<uint64_t>(waiting);
}

void CursorKeeper::sample(int64_t now, uint64_t written) {
  if (!pipe_) return;
  if (sampleCount_ > 0 && now - samples_[(sampleCount_ - 1) % kSamples].millis < kSampleMillis) return;
  samples_[sampleCount_++ % kSamples] = {now, delivered(written)};
}

uint64_t CursorKeeper::settled(int64_t now, uint64_t written) const {
  if (!pipe_) return written;
  const uint64_t oldest = sampleCount_ > kSamples ? sampleCount_ - kSamples : 0;
  for (uint64_t i = sampleCount_; i > oldest; --i) {
    const Sample& s = samples_[(i - 1) % kSamples];
    if (s.millis <= now - kSettleMillis) return s.delivered;
  }
  return 0;
}

void CursorKeeper::updateCovered(uint64_t upTo) {
  const uint64_t oldest = count_ > kMarks ? count_ - kMarks : 0;
  for (uint64_t i = count_; i > oldest; --i) {
    const Mark& mark = marks_[(i - 1) & kMask];
    if (mark.position <= upTo) {
      covered_ = mark.cursor;
      return;
    }
  }
  if (dropped_ && dropped_->position <= upTo) covered_ = dropped_->cursor;
}

bool CursorKeeper::save(const Cursor& cursor) {
  const std::string temporary = file_.string() + ".tmp";
  int error = writeDurably(temporary, formatCursor(cursor) + "\n");
  if (error == 0 && ::rename(temporary.c_str(), file_.c_str()) != 0) error = errno;
  if (error == 0) {
    // The rename itself must survive a crash of the machine.
    const boost::filesystem::path parent = file_.parent_path().empty() ? "." : file_.parent_path();
    const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      ::close(dir);
    }
    saved_ = cursor;
    failing_ = false;
    return true;
  }
  // Said once per run of failures: the old cursor only prints more again.
  if (!failing_) printError("Cannot save cursor to `", quoted(file_), errorText(error));
  failing_ = true;
  return false;
}

int CursorKeeper::dueMillis(uint64_t written) {
  if (file_.empty()) return -1;
  const int64_t now = nowMillis();
  sample(now, written);
  updateCovered(settled(now, written));
  const bool unsaved = covered_ && covered_ != saved_;
  // Records may still wait in the pipe, or have left it too lately to count.
  const bool waiting = pipe_ && count_ > 0 && marks_[(count_ - 1) & kMask].cursor != covered_;
  if (!unsaved && !waiting) return -1;
  int64_t left = lastSaveMillis_ + kSaveIntervalMillis - now;
  if (!unsaved) left = std::max(left, kSampleMillis);
  return left > 0 ? static_cast<int>(left) : 0;
}

void CursorKeeper::tick(uint64_t written) {
  if (file_.empty()) return;
  const int64_t now = nowMillis();
  sample(now, written);
  if (now - lastSaveMillis_ < kSaveIntervalMillis) return;
  updateCovered(settled(now, written));
  if (!covered_ || covered_ == saved_) return;
  lastSaveMillis_ = now;
  save(*covered_);
}

// Drains the pipe, then tells whether its reader closed it: a shipper that
// stops closes it right after it stopped the reader.
bool CursorKeeper::consumerWentAway(bool stopped) const {
  const int64_t start = nowMillis();
  for (;;) {
    const int64_t waited = nowMillis() - start;
    int waiting = 0;
    const bool drained = ioctl(fd_, FIONREAD, &waiting) != 0 || waiting == 0;
    const int64_t limit = drained ? (stopped ? kGoneMillis : 0) : kDrainMillis;
    if (waited >= limit) return false;
    pollfd out{fd_, 0, 0};
    const int wait = static_cast<int>(drained ? limit - waited : std::min<int64_t>(10, limit - waited));
    if (poll(&out, 1, wait) > 0 && (out.revents & (POLLERR | POLLHUP))) return true;
  }
}

bool CursorKeeper::finish(uint64_t written, bool stopped) {
  // A shipper still reading takes the rest of the pipe now, so a clean stop
  // prints nothing twice; one that went away leaves it to the next run, and
  // what it read last is printed again.
  const int64_t start = nowMillis();
  const bool gone = pipe_ && !file_.empty() && consumerWentAway(stopped);
  updateCovered(gone ? settled(start, written) : delivered(written));
  if (file_.empty() || !covered_ || covered_ == saved_) return !failing_;
  return save(*covered_);
}

}  // namespace zarvo

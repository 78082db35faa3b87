#include "filestore/retention_queue.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "compress/compress_file.h"
#include "filestore/file_name.h"
#include "filestore/messages.h"

namespace zarvo {
namespace {

// The level while the archive thread keeps up, the one while it does not,
// and how long after it was last behind it stays at the faster one: a
// level 9 that cannot keep up is tried again at most once a minute. Behind
// means that a compression starts with kBacklog more files of this run
// waiting, or that retention drops a file before its compression ends;
// one file waiting while another is compressed is the usual pace.
constexpr int kBacklog = 2;
constexpr int kBestLevel = 9;
constexpr int kFastLevel = 1;
constexpr std::chrono::seconds kFastFor(60);

// True when something was removed; a name already gone is no error.
bool removeName(const boost::filesystem::path& path) noexcept {
  if (path.empty()) return false;
  if (unlink(path.c_str()) == 0) return true;
  if (errno != ENOENT) printError("Cannot remove file: `", path.string(), errorText(errno));
  return false;
}

// Room for the whole file: its archive is smaller unless nothing compresses.
bool roomFor(const boost::filesystem::path& path) {
  struct stat file;
  struct statvfs disk;
  return stat(path.c_str(), &file) == 0 && statvfs(path.parent_path().c_str(), &disk) == 0 &&
         static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize >= static_cast<uint64_t>(file.st_size);
}

}  // namespace

RetentionQueue::RetentionQueue(uint32_t maxEntries) : capacity(maxEntries) {}

void RetentionQueue::add(const boost::filesystem::path& path, bool leftover) {
  const bool archive = endsWith(path.string(), kCompressedSuffix);
  {
    std::lock_guard<std::mutex> guard(lock);
    if (archive && !files.empty() && files.back().archive.empty() &&
        files.back().log.string() + std::string(kCompressedSuffix) == path.string()) {
      files.back().archive = path;
      return;
    }
    files.push_back(Entry{++lastId, archive ? boost::filesystem::path() : path,
                          archive ? path : boost::filesystem::path(),
                          archive ? State::kArchived : State::kWaiting, leftover});
  }
  // One at a time, each removed before the caller creates the next file.
  for (;;) {
    Entry out;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (files.size() <= capacity) return;
      out = std::move(files.front());
      files.pop_front();
      giveUp(out);
    }
    removeName(out.log);
    removeName(out.archive);
  }
}

// Under the lock, for a file pushed out: its compression either named its
// archive already, which then goes with the file, or never will.
void RetentionQueue::giveUp(Entry& out) noexcept {
  if (out.state != State::kCompressing) return;
  if (watch.state.load(std::memory_order_relaxed) == CompressionWatch::kNamed)
    out.archive = out.log.string() + std::string(kCompressedSuffix);
  else
    watch.state.store(CompressionWatch::kAbandoned, std::memory_order_relaxed);
}

std::deque<RetentionQueue::Entry>::iterator RetentionQueue::find(uint64_t id) {
  return std::find_if(files.begin(), files.end(),
                      [id](const Entry& entry) { return entry.id == id; });
}

int RetentionQueue::chooseLevel(bool behind) noexcept {
  const Clock::time_point now = Clock::now();
  if (behind) {
    lastBehind = now;
    everBehind = true;
  }
  const int wanted = everBehind && now - lastBehind < kFastFor ? kFastLevel : kBestLevel;
  if (wanted != level) {
    if (wanted == kFastLevel)
      printMessage("Archive thread behind the input: compressing at level 1");
    else
      printMessage("Archive thread keeps up again: compressing at level 9");
    level = wanted;
  }
  return level;
}

void RetentionQueue::compressNewest() noexcept {
  uint64_t id = 0;
  boost::filesystem::path path;
  int othersWaiting = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
      if (it->state != State::kWaiting) continue;
      if (id != 0) {
        othersWaiting += it->leftover ? 0 : 1;
        continue;
      }
      it->state = State::kCompressing;
      id = it->id;
      path = it->log;
    }
    if (id == 0) return;
    watch.state.store(CompressionWatch::kRunning, std::memory_order_relaxed);
  }
  compress(id, path, chooseLevel(othersWaiting >= kBacklog), true);
}

// A failure is reported on the first attempt, and one for want of room
// makes the file wait for room; a retry that fails for want of room again
// stays silent. A file pushed out meanwhile is nobody's concern any more:
// whatever this attempt made of it goes, without a word.
void RetentionQueue::compress(uint64_t id, const boost::filesystem::path& path, int atLevel,
                              bool firstAttempt) noexcept {
  boost::filesystem::path compressedPath, failed;
  bool archiveOpened = false;
  const std::error_code error =
      compressFile(path, compressedPath, archiveOpened, &failed, atLevel, &watch);
  std::unique_lock<std::mutex> guard(lock);
  const auto at = find(id);
  Entry* entry = at == files.end() ? nullptr : &*at;
  if (!error && entry != nullptr) {
    entry->log.clear();
    entry->archive = compressedPath;
    entry->state = State::kArchived;
  }
  const bool lackOfRoom = error.value() == ENOSPC || error.value() == EDQUOT;
  const bool stray = failed == path && isStrayEntry(error);
  if (error && entry != nullptr) entry->state = lackOfRoom ? State::kNoRoom : State::kKept;
  // Something else took the file's name (a link, a FIFO, a file with a
  // second name or of another user): it is no entry of ours, to keep or to
  // retire; it stays as it is, reported this once.
  if (stray && entry != nullptr) files.erase(at);
  guard.unlock();
  // Slower than the input: retention dropped the file before it was done.
  if (entry == nullptr) chooseLevel(true);
  // A file pushed out after its archive was named took that archive along.
  if (!error) {
    if (entry != nullptr) removeName(path);
    return;
  }
  // The archive's own name never held this attempt; whatever is there (a
  // good archive of an earlier run, say) stays. The partial one goes before
  // the report, so that whoever reads it sees the end state.
  if (archiveOpened) removeName(temporaryArchivePath(compressedPath));
  if (entry != nullptr && (firstAttempt || !lackOfRoom))
    printError("Cannot compress file: `", failed.string(), error.message());
}

bool RetentionQueue::removeOldest(const std::string& why) noexcept {
  Entry oldest;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (files.empty()) return false;
    oldest = std::move(files.front());
    files.pop_front();
    giveUp(oldest);
  }
  const boost::filesystem::path& named = oldest.archive.empty() ? oldest.log : oldest.archive;
  const bool removedLog = removeName(oldest.log);
  if (removeName(oldest.archive) || removedLog)
    printMessage(why + ": removed " + quoted(named) + " to make room");
  return true;
}

bool RetentionQueue::retryWhereRoom() noexcept {
  std::vector<uint64_t> waiting;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (const Entry& entry : files)
      if (entry.state == State::kNoRoom) waiting.push_back(entry.id);
  }
  for (uint64_t id : waiting) {
    boost::filesystem::path path;
    {
      std::lock_guard<std::mutex> guard(lock);
      const auto entry = find(id);
      if (entry == files.end() || entry->state != State::kNoRoom) continue;
      path = entry->log;
    }
    if (!roomFor(path)) continue;
    {
      std::lock_guard<std::mutex> guard(lock);
      const auto entry = find(id);
      if (entry == files.end()) continue;
      entry->state = State::kCompressing;
      watch.state.store(CompressionWatch::kRunning, std::memory_order_relaxed);
    }
    compress(id, path, chooseLevel(false), false);
  }
  return waitForRoom();
}

bool RetentionQueue::waitForRoom() {
  std::lock_guard<std::mutex> guard(lock);
  for (const Entry& entry : files)
    if (entry.state == State::kNoRoom) return true;
  return false;
}

}  // namespace zarvo

#pragma once
// Archived files, oldest first, of which at most `capacity` are kept: each
// new entry beyond that deletes the oldest. An entry is usually a ".gz"
// archive, or the ".log" itself when it could not be compressed. Used by the
// archive thread alone, one task at a time, so it needs no lock.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace zarvo {

class RetentionQueue {
 public:
  explicit RetentionQueue(uint32_t capacity);

  // An archive is taken over as it is; any other file is compressed beside
  // itself and then removed (kept, and queued in the archive's place, when
  // compression fails). newerEntries: files handed over after this one that
  // will each add an entry; with at least `capacity` of them this file's
  // entry would surely be evicted, so the file is removed at once instead,
  // after every entry held (all older, all as surely evicted).
  void handleFinishedFile(const boost::filesystem::path& path, uint64_t newerEntries) noexcept;

  const std::deque<boost::filesystem::path>& entries() const { return files; }

  // Removes the oldest entry to make room for the current file; `why` opens
  // the line that names it. False when there is none.
  bool removeOldest(const std::string& why) noexcept;

  // ".log" entries whose compression failed for want of room are compressed
  // again once the directory's file system has room for the whole file.
  // True while some still wait.
  bool retryWhereRoom() noexcept;
  bool waitForRoom() const { return !waitingForRoom.empty(); }

 private:
  void push(const boost::filesystem::path& path) noexcept;
  void removeFile(const boost::filesystem::path& path) noexcept;

  enum class Compressed { kDone, kKept, kStray };
  Compressed compress(const boost::filesystem::path& path, boost::filesystem::path& archive,
                      bool firstAttempt) noexcept;
  void stopWaiting(const boost::filesystem::path& path) noexcept;

  std::deque<boost::filesystem::path> files;
  std::vector<boost::filesystem::path> waitingForRoom;  // entries, oldest first
  uint32_t capacity;
};

}  // namespace zarvo

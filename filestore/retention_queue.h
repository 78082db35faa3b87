#pragma once
// The finished files kept, oldest first: at most `capacity` of them, each a
// ".log" waiting for the archive thread or its ".gz" archive (or the ".log"
// itself when it could not be compressed). A file that joins it beyond that
// pushes the oldest out, and the thread that added it removes that one at
// once, compressed or not: the directory never holds more, whatever the
// archive thread is doing. The archive thread takes the newest waiting file
// first, so under overload the archives that exist are the newest, and gives
// up a compression as soon as its file is pushed out. Shared by the main
// thread (add, removeOldest) and the archive thread (the rest), under one
// lock that is held across no system call but the rename that names an
// archive: a file pushed out while it is compressed then takes with it the
// archive that compression named, or that archive is never named.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include <boost/filesystem/path.hpp>

#include "compress/compress_file.h"

namespace zarvo {

class RetentionQueue {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RetentionQueue(uint32_t capacity);

  // Main thread: a finished file joins as the newest, a ".log" to compress
  // or an archive found at start-up. An archive right after its own ".log"
  // (a start-up scan's pair) joins that entry, to be replaced by its
  // compression. Files pushed out are removed before this returns. A
  // leftover of an earlier run is no sign that the archive thread is behind.
  void add(const boost::filesystem::path& path, bool leftover = false);

  // Archive thread: compresses the newest waiting file, if any.
  void compressNewest() noexcept;

  // Main thread, on a full disk: removes the oldest kept file; `why` opens
  // the line that names it. False when there is none.
  bool removeOldest(const std::string& why) noexcept;

  // Archive thread: ".log" files whose compression failed for want of room
  // are compressed again once the file system has room for the whole file.
  // True while some still wait.
  bool retryWhereRoom() noexcept;
  bool waitForRoom();

 private:
  enum class State { kWaiting, kCompressing, kArchived, kKept, kNoRoom };
  struct Entry {
    uint64_t id = 0;
    boost::filesystem::path log;      // empty once its archive took its place
    boost::filesystem::path archive;  // empty while there is none
    State state = State::kWaiting;
    bool leftover = false;
  };

  void compress(uint64_t id, const boost::filesystem::path& path, int atLevel,
                bool firstAttempt) noexcept;
  std::deque<Entry>::iterator find(uint64_t id);
  int chooseLevel(bool behind) noexcept;
  void giveUp(Entry& out) noexcept;

  std::mutex lock;
  std::deque<Entry> files;
  uint32_t capacity;
  uint64_t lastId = 0;
  // The compression running, given up under the lock when its file is
  // pushed out.
  CompressionWatch watch{lock};
  // Archive thread only: the compression level and when the thread was
  // last found behind the input.
  int level = 9;
  Clock::time_point lastBehind{};
  bool everBehind = false;
};

}  // namespace zarvo

#pragma once
// Where the reader keeps its place for the next run (--cursor-file), and
// which records that place may cover: only those whose bytes have left
// standard output. When it is a pipe, FIONREAD tells how many written bytes
// still wait in it; records behind those are printed again after a restart,
// not lost. A shipper that stops may drop what it read last without passing
// it on, so a save covers only bytes that left the pipe a while before, but
// at a stop the shipper outlives, which takes them all. The file is replaced
// whole (reader/cursor_storage.h), so a kill at any moment leaves the old
// cursor or the new one. Single thread.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "reader/cursor.h"

namespace zarvo {

class CursorKeeper {
 public:
  // file: empty when no cursor file is kept; anything there but a regular
  // file ends the process with status 2. fd: standard output.
  CursorKeeper(boost::filesystem::path file, int fd);

  // The cursor the file holds; empty when there is no file or it holds
  // nothing. A malformed one ends the process with status 2.
  std::optional<Cursor> load();
  // The place the run starts from counts as covered from the start.
  void startAt(const Cursor& cursor);

  // The record at cursor is handed to output, which had then taken
  // `position` bytes in all.
  void handed(uint64_t position, const Cursor& cursor) {
    Mark& newest = marks_[(count_ - 1) & kMask];
    if (count_ > 0 && newest.position == position) {
      newest.cursor = cursor;
      return;
    }
    Mark& slot = marks_[count_ & kMask];
    if (count_ >= kMarks) dropped_ = slot;
    slot = {position, cursor};
    ++count_;
  }

  // written: bytes output has written to fd so far. Saves what they cover
  // when it changed and the last save is a second old.
  void tick(uint64_t written);
  // Milliseconds until tick() has something to do, -1 when nothing waits.
  int dueMillis(uint64_t written);
  // At exit: waits up to half a second for a pipe to drain and, after a
  // stop signal, a little longer to see whether the shipper goes away too;
  // then saves. False when the last save failed (it was said on stderr).
  bool finish(uint64_t written, bool stopped);
  // What the last tick() or finish() found covered.
  std::optional<Cursor> covered() const { return covered_; }

 private:
  struct Mark {
    uint64_t position = 0;
    Cursor cursor;
  };
  // Enough for a full pipe and output buffer of short records; beyond that
  // the cursor saved is an older one, which only prints more again.
  static constexpr uint64_t kMarks = 1 << 15;
  static constexpr uint64_t kMask = kMarks - 1;
  // How many bytes had left the pipe, and when: spaced at least 25 ms, so
  // the ring reaches further back than the settling time.
  struct Sample {
    int64_t millis = 0;
    uint64_t delivered = 0;
  };
  static constexpr uint64_t kSamples = 64;

  uint64_t delivered(uint64_t written) const;
  void sample(int64_t now, uint64_t written);
  // Bytes that had left the pipe a quarter second before now (all written when
  // output is no pipe).
  uint64_t settled(int64_t now, uint64_t written) const;
  bool consumerWentAway(bool stopped) const;
  void updateCovered(uint64_t upTo);
  bool save(const Cursor& cursor);

  boost::filesystem::path file_;
  int fd_;
  bool pipe_ = false;
  std::vector<Mark> marks_;
  uint64_t count_ = 0;
  std::optional<Mark> dropped_;
  std::array<Sample, kSamples> samples_{};
  uint64_t sampleCount_ = 0;
  std::optional<Cursor> covered_;
  std::optional<Cursor> saved_;
  int64_t lastSaveMillis_ = 0;
  bool failing_ = false;
};

}  // namespace zarvo

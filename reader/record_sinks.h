#pragma once
// What becomes of the records read back: printed (whole, or only the
// proxy's bytes), or counted to find where the last COUNT of them start.
#include <cstdint>
#include <limits>
#include <string>

#include "format/record_layout.h"
#include "format/timestamp.h"
#include "reader/cursor.h"
#include "reader/cursor_file.h"
#include "reader/output.h"
#include "reader/record_parser.h"
#include "reader/time_range.h"

namespace zarvo {

// How lines are counted: each record ends one, or with --raw each whose
// chunk ends with a newline, or with -o json each that is no piece of a
// long line (a whole chunk without its newline), as objects are printed.
enum class LineEnds { kRecords, kNewlines, kObjects };

inline LineEnds lineEndsOf(bool raw, bool json) {
  return json ? LineEnds::kObjects : raw ? LineEnds::kNewlines : LineEnds::kRecords;
}

// Whether a record ends a line, by its chunk's size and whether it ends
// with a newline.
inline bool endsLine(LineEnds ends, std::size_t chunkSize, bool newline) {
  return ends == LineEnds::kRecords || newline ||
         (ends == LineEnds::kObjects && chunkSize < kMaxChunkSize);
}

// Whole records one per line (a piece of a long line, or a last line
// without newline, gets one), or with --raw the chunks alone, which joins
// the pieces of a long line again and gives the input back byte for byte,
// or with -o json one object per line joined the same way. Each record
// printed, or passed over on purpose, is handed to the cursor keeper.
class PrintSink : public RecordSink {
 public:
  PrintSink(Output& out, bool raw, bool json = false)
      : out_(out), raw_(raw || json), json_(json), ends_(lineEndsOf(raw, json)) {}

  // The name each JSON object carries as "host".
  void host(std::string name) { host_ = std::move(name); }

  void keepCursor(CursorKeeper& keeper) { keeper_ = &keeper; }
  // Records are read but not printed until `lines` line ends went by (as
  // CountSink counts them).
  void skipLines(uint64_t lines) { skip_ = lines; }
  // The next `count` records are read but not printed.
  void skipRecords(uint64_t count) { skipRecords_ = count; }
  // Lines whose first record is before range.since are passed over; the
  // first one after range.until ends the printing for good.
  void limit(const TimeRange& range) { range_ = range; }
  bool pastUntil() const { return pastUntil_; }
  // The prefix time of the last record read (printed or not), and the same
  // in milliseconds; false when none was read yet.
  bool lastTime(char (&timestamp)[kTimestampLength], int64_t& millis) const;
  // The records that follow are those of file `number`, cut by parser.
  void startFile(uint64_t number, const RecordParser& parser) {
    file_ = number;
    parser_ = &parser;
  }
  // Ends the line of a record cut off by the end of what was stored. With
  // lineMayGoOn, a JSON line still waiting for its end is left to the next
  // run, which starts before it.
  void endOpenRecord(bool lineMayGoOn = false);
  // Ends the line of a record whose rest is lost, with --raw too: it must
  // not run into the next file's first line.
  void endCutRecord();

  void prefix(const char* data, std::size_t size) override;
  void chunk(const char* data, std::size_t size) override;
  void end(bool newline) override;

 private:
  void startLine(const char* prefix);
  void printLine();
  void handed() {
    if (keeper_ != nullptr) keeper_->handed(out_.position(), record_);
  }

  Output& out_;
  bool raw_;
  bool json_;
  LineEnds ends_;
  CursorKeeper* keeper_ = nullptr;
  TimeRange range_;
  uint64_t file_ = 0;
  const RecordParser* parser_ = nullptr;
  Cursor record_;  // the record being read
  char recordTime_[kTimestampLength] = {};  // its prefix time
  uint64_t skip_ = 0;         // line ends
  uint64_t skipRecords_ = 0;
  bool skipping_ = false;
  bool dropping_ = false;    // the current line is before --since
  bool pastUntil_ = false;
  bool open_ = false;
  bool lineEnded_ = true;    // the last record read ended its line
  std::size_t chunkSize_ = 0;
  // The JSON line being gathered.
  std::string host_;
  bool lineOpen_ = false;
  char lineTime_[24] = {};
  int64_t lineMillis_ = 0;
  std::string line_;
  std::string encoded_;
};

// The line ends of one file, in constant memory.
class CountSink : public RecordSink {
 public:
  // Lines after `until` (by their first record's time) are not counted:
  // -n then counts back from the last line within --until.
  explicit CountSink(LineEnds ends, int64_t until = std::numeric_limits<int64_t>::max())
      : ends_(ends), until_(until) {}

  uint64_t lineEnds() const { return lineEnds_; }
  // True when records follow the last line end (a line still being written).
  bool openLine() const { return openLine_; }
  // True when a record was counted.
  bool counted() const { return counted_; }

  void prefix(const char* data, std::size_t) override {
    chunkSize_ = 0;
    if (!past_ && !openLine_ && until_ != std::numeric_limits<int64_t>::max())
      past_ = timestampMillis(data) > until_;
    if (past_) return;
    openLine_ = true;
    counted_ = true;
  }
  void chunk(const char*, std::size_t size) override { chunkSize_ += size; }
  void end(bool newline) override {
    if (past_ || !endsLine(ends_, chunkSize_, newline)) return;
    ++lineEnds_;
    openLine_ = false;
  }

 private:
  LineEnds ends_;
  int64_t until_;
  std::size_t chunkSize_ = 0;
  uint64_t lineEnds_ = 0;
  bool openLine_ = false;
  bool counted_ = false;
  bool past_ = false;
};

}  // namespace zarvo

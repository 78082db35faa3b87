#pragma once
// What becomes of the records read back: printed (whole, or only the
// proxy's bytes), or counted to find where the last COUNT of them start.
#include <cstdint>
#include <vector>

#include "reader/output.h"
#include "reader/record_parser.h"

namespace zarvo {

// Whole records one per line (a piece of a long line, or a last line
// without newline, gets one), or with --raw the chunks alone, which joins
// the pieces of a long line again and gives the input back byte for byte.
class PrintSink : public RecordSink {
 public:
  PrintSink(Output& out, bool raw) : out_(out), raw_(raw) {}

  // The next `count` records are read but not printed.
  void skip(uint64_t count) { skip_ = count; }
  // Ends the line of a record cut off by the end of what was stored.
  void endOpenRecord();

  void prefix(const char* data, std::size_t size) override;
  void chunk(const char* data, std::size_t size) override;
  void end(bool newline) override;

 private:
  Output& out_;
  bool raw_;
  uint64_t skip_ = 0;
  bool skipping_ = false;
  bool open_ = false;
};

// The records of one file, and which of them end a line: every record, or
// with --raw those whose chunk ends with a newline.
class CountSink : public RecordSink {
 public:
  explicit CountSink(bool raw) : raw_(raw) {}

  uint64_t records() const { return records_; }
  std::vector<uint64_t>& lineEnds() { return lineEnds_; }  // record indices, ascending

  void prefix(const char*, std::size_t) override { ++records_; }
  void chunk(const char*, std::size_t) override {}
  void end(bool newline) override {
    if (!raw_ || newline) lineEnds_.push_back(records_ - 1);
  }

 private:
  bool raw_;
  uint64_t records_ = 0;
  std::vector<uint64_t> lineEnds_;
};

}  // namespace zarvo

#pragma once
// What becomes of the records read back: printed (whole, or only the
// proxy's bytes), or counted to find where the last COUNT of them start.
#include <cstdint>

#include "reader/output.h"
#include "reader/record_parser.h"

namespace zarvo {

// Whole records one per line (a piece of a long line, or a last line
// without newline, gets one), or with --raw the chunks alone, which joins
// the pieces of a long line again and gives the input back byte for byte.
class PrintSink : public RecordSink {
 public:
  PrintSink(Output& out, bool raw) : out_(out), raw_(raw) {}

  // Records are read but not printed until `lines` line ends went by.
  void skipLines(uint64_t lines) { skip_ = lines; }
  // Ends the line of a record cut off by the end of what was stored.
  void endOpenRecord();
  // Ends the line of a record whose rest is lost, with --raw too: it must
  // not run into the next file's first line.
  void endCutRecord();

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

// The line ends of one file, in constant memory: every record ends a line,
// or with --raw those whose chunk ends with a newline.
class CountSink : public RecordSink {
 public:
  explicit CountSink(bool raw) : raw_(raw) {}

  uint64_t lineEnds() const { return lineEnds_; }
  // True when records follow the last line end (a line still being written).
  bool openLine() const { return openLine_; }

  void prefix(const char*, std::size_t) override { openLine_ = true; }
  void chunk(const char*, std::size_t) override {}
  void end(bool newline) override {
    if (raw_ && !newline) return;
    ++lineEnds_;
    openLine_ = false;
  }

 private:
  bool raw_;
  uint64_t lineEnds_ = 0;
  bool openLine_ = false;
};

}  // namespace zarvo

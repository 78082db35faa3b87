#include "reader/record_sinks.h"

#include <cstring>

#include "format/record_layout.h"
#include "format/timestamp.h"
#include "reader/json_line.h"

namespace zarvo {
namespace {

constexpr std::size_t kKeptLineCapacity = 1 << 20;

}  // namespace

void PrintSink::prefix(const char* data, std::size_t size) {
  record_ = {file_, parser_ != nullptr ? parser_->recordOffset() : 0};
  std::memcpy(recordTime_, data, kTimestampLength);
  chunkSize_ = 0;
  skipping_ = skip_ > 0 || skipRecords_ > 0;
  if (skipping_) {
    if (skipRecords_ > 0) --skipRecords_;
    return;
  }
  // A line is taken or passed over whole, by the time of its first record.
  if (lineEnded_ && range_.limited() && !pastUntil_) {
    const int64_t millis = timestampMillis(data);
    pastUntil_ = millis > range_.until;
    dropping_ = millis < range_.since;
  }
  skipping_ = dropping_ || pastUntil_;
  if (skipping_) return;
  if (json_ && !lineOpen_) startLine(data);
  open_ = true;
  if (!raw_) out_.append(data, size);
}

bool PrintSink::lastTime(char (&timestamp)[kTimestampLength], int64_t& millis) const {
  if (record_.file == 0) return false;
  std::memcpy(timestamp, recordTime_, kTimestampLength);
  millis = timestampMillis(recordTime_);
  return true;
}

void PrintSink::startLine(const char* prefix) {
  lineOpen_ = true;
  std::memcpy(lineTime_, prefix, kTimestampLength);
  lineMillis_ = timestampMillis(prefix);
  line_.clear();
}

void PrintSink::chunk(const char* data, std::size_t size) {
  chunkSize_ += size;
  if (skipping_) return;
  if (json_) line_.append(data, size);
  else out_.append(data, size);
}

void PrintSink::end(bool newline) {
  // Only a piece of a long line is a whole chunk without its newline.
  lineEnded_ = newline || chunkSize_ < kMaxChunkSize;
  if (skipping_) {
    if (skip_ > 0 && endsLine(ends_, chunkSize_, newline)) --skip_;
    // An object's cursor is always its line's last record's.
    if (!pastUntil_ && (!json_ || lineEnded_)) handed();
    return;
  }
  open_ = false;
  if (json_) {
    // A prefix with no byte behind it (a cut file) is no line of the proxy.
    if (lineEnded_ && (newline || !line_.empty())) printLine();
    else if (lineEnded_) lineOpen_ = false;
    return;
  }
  if (!raw_ && !newline) out_.append("\n", 1);
  handed();
}

// The line's cursor is its last record's: resuming after it starts at the
// next line, as resuming after any record starts at the next record.
void PrintSink::printLine() {
  std::string_view bytes = line_;
  if (!bytes.empty() && bytes.back() == '\n') bytes.remove_suffix(1);
  writeJsonLine(out_, encoded_, {host_, record_, lineTime_, lineMillis_, bytes});
  lineOpen_ = false;
  // What a huge line took is given back rather than kept for good.
  if (line_.capacity() > kKeptLineCapacity) std::string().swap(line_);
  handed();
}

void PrintSink::endOpenRecord(bool lineMayGoOn) {
  if (json_ && lineOpen_ && !lineMayGoOn) printLine();
  if (open_ && !raw_ && !out_.atLineStart()) out_.append("\n", 1);
  open_ = false;
}

void PrintSink::endCutRecord() {
  if (json_ && lineOpen_ && !skipping_) printLine();
  if (!json_ && !skipping_ && !out_.atLineStart()) out_.append("\n", 1);
  open_ = false;
  skipping_ = false;
  lineEnded_ = true;
}

}  // namespace zarvo

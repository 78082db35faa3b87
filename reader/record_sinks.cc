#include "reader/record_sinks.h"

#include <cstring>

#include "format/record_layout.h"
#include "format/timestamp.h"
#include "reader/json_line.h"

namespace zarvo {

void PrintSink::prefix(const char* data, std::size_t size) {
  record_ = {file_, parser_ != nullptr ? parser_->recordOffset() : 0};
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

void PrintSink::startLine(const char* prefix) {
  lineOpen_ = true;
  lineCursor_ = record_;
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
    if (skip_ > 0 && (!raw_ || newline)) --skip_;
    if (!pastUntil_) handed();
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

void PrintSink::printLine() {
  std::string_view bytes = line_;
  if (!bytes.empty() && bytes.back() == '\n') bytes.remove_suffix(1);
  encoded_.clear();
  appendJsonLine(encoded_, {lineCursor_, lineTime_, lineMillis_, bytes});
  out_.append(encoded_.data(), encoded_.size());
  lineOpen_ = false;
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

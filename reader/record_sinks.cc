#include "reader/record_sinks.h"

namespace zarvo {

void PrintSink::prefix(const char* data, std::size_t size) {
  skipping_ = skip_ > 0;
  if (skipping_) return;
  open_ = true;
  if (!raw_) out_.append(data, size);
}

void PrintSink::chunk(const char* data, std::size_t size) {
  if (!skipping_) out_.append(data, size);
}

void PrintSink::end(bool newline) {
  if (skipping_) {
    if (!raw_ || newline) --skip_;
    return;
  }
  open_ = false;
  if (!raw_ && !newline) out_.append("\n", 1);
}

void PrintSink::endOpenRecord() {
  if (open_ && !raw_ && !out_.atLineStart()) out_.append("\n", 1);
  open_ = false;
}


void PrintSink::endCutRecord() {
  if (!skipping_ && !out_.atLineStart()) out_.append("\n", 1);
  open_ = false;
  skipping_ = false;
}

}  // namespace zarvo

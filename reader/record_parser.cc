#include "reader/record_parser.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "format/record_layout.h"
#include "format/timestamp.h"

namespace zarvo {
namespace {

// A header line longer than this is not one of the writer's.
constexpr std::size_t kMaxHeaderLine = 1024;

}  // namespace

void RecordParser::feed(const char* data, std::size_t size) {
  while (size > 0) {
    std::size_t used;
    switch (state_) {
      case State::kSectionLine:
      case State::kFormatLine:
        used = takeHeaderLine(data, size);
        break;
      case State::kPrefix:
        used = takePrefix(data, size);
        break;
      case State::kChunk:
        used = takeChunk(data, size);
        break;
      default:
        used = size;
    }
    data += used;
    size -= used;
    offset_ += used;
  }
}

std::size_t RecordParser::takeHeaderLine(const char* data, std::size_t size) {
  const void* newline = std::memchr(data, '\n', size);
  std::size_t used = newline ? static_cast<const char*>(newline) - data + 1 : size;
  pending_.append(data, used);
  if (!newline) {
    if (pending_.size() > kMaxHeaderLine) state_ = State::kForeign;
    return used;
  }
  if (state_ == State::kSectionLine) {
    state_ = isSectionLine(pending_) ? State::kFormatLine : State::kForeign;
    if (state_ == State::kFormatLine) run_ = pending_.substr(kTimestampLength);
  } else if (std::size_t length = formatLinePrefixLength(pending_); length != 0) {
    prefixTail_ = pending_.substr(kTimestampLength, length - kTimestampLength);
    state_ = State::kPrefix;
    recordStart_ = offset_ + used;
  } else {
    state_ = State::kForeign;
  }
  pending_.clear();
  return used;
}

// Every record of a file carries the prefix of the thread that wrote its
// header, so all but the time digits must match it byte for byte.
bool RecordParser::isRecordPrefix(const char* prefix) const {
  return isTimestampShaped(prefix) &&
         std::memcmp(prefix + kTimestampLength, prefixTail_.data(), prefixTail_.size()) == 0;
}

std::size_t RecordParser::takePrefix(const char* data, std::size_t size) {
  const std::size_t length = kTimestampLength + prefixTail_.size();
  const char* prefix = data;
  std::size_t used = length;
  if (!pending_.empty() || size < length) {
    used = std::min(size, length - pending_.size());
    pending_.append(data, used);
    if (pending_.size() < length) return used;
    prefix = pending_.data();
  }
  if (!isRecordPrefix(prefix)) {
    brokenAt_ = offset_ + used - length;
    state_ = State::kBroken;
    return used;
  }
  recordStart_ = offset_ + used - length;
  sink_.prefix(prefix, length);
  ++records_;
  pending_.clear();
  chunkSize_ = 0;
  state_ = State::kChunk;
  return used;
}

std::size_t RecordParser::takeChunk(const char* data, std::size_t size) {
  const std::size_t window = std::min(size, kMaxChunkSize - chunkSize_);
  const void* newline = std::memchr(data, '\n', window);
  const std::size_t used = newline ? static_cast<const char*>(newline) - data + 1 : window;
  sink_.chunk(data, used);
  chunkSize_ += used;
  if (newline || chunkSize_ == kMaxChunkSize) {
    sink_.end(newline != nullptr);
    state_ = State::kPrefix;
    recordStart_ = offset_ + used;
  }
  return used;
}

Loss RecordParser::cutRecord(uint64_t offset, uint64_t bytes) {
  return {std::to_string(bytes) + " bytes at offset " + std::to_string(offset) +
              " are not whole records",
          offset, bytes, 1};
}

// Bytes that stopped being records: how many records they held is unknown.
Loss RecordParser::brokenTail() const {
  Loss loss = cutRecord(brokenAt_, offset_ - brokenAt_);
  loss.records.reset();
  return loss;
}

Loss RecordParser::lostForGood() const {
  if (state_ == State::kForeign) return {"not a log file of this writer"};
  return state_ == State::kBroken ? brokenTail() : Loss();
}

Loss RecordParser::finish(bool runGoesOn) {
  switch (state_) {
    case State::kSectionLine:
      // A file the writer created but never wrote into holds nothing to lose.
      return offset_ == 0 ? Loss() : Loss{"cut short in its header"};
    case State::kFormatLine:
      return {"cut short in its header"};
    case State::kForeign:
      return {"not a log file of this writer"};
    case State::kPrefix:
      if (pending_.empty()) return {};
      return cutRecord(offset_ - pending_.size(), pending_.size());
    case State::kChunk: {
      // The input's last line had no newline; but the writer never stores
      // a prefix without a byte behind it.
      sink_.end(false);
      state_ = State::kPrefix;
      if (chunkSize_ > 0 && !runGoesOn) return {};
      return cutRecord(recordStart_, offset_ - recordStart_);
    }
    case State::kBroken:
      return brokenTail();
  }
  return {};
}

}  // namespace zarvo

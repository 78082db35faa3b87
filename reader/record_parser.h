#pragma once
// Cuts the bytes of one log file back into its header and records, as they
// arrive: a file still being written may end inside a record, and the rest
// follows in a later feed(). Chunk bytes are handed on as soon as they are
// read; only a header line or a prefix in two pieces is held back.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace zarvo {

// What a file lost: nothing when `why` is empty. Offsets and sizes are in
// the file's uncompressed bytes.
struct Loss {
  Loss() = default;
  Loss(std::string why_, uint64_t offset_ = 0, std::optional<uint64_t> bytes_ = {},
       std::optional<uint64_t> records_ = {})
      : why(std::move(why_)), offset(offset_), bytes(bytes_), records(records_) {}

  std::string why;
  uint64_t offset = 0;              // where the loss starts
  std::optional<uint64_t> bytes;    // how many were lost, when known
  std::optional<uint64_t> records;  // how many records, when known

  bool empty() const { return why.empty(); }
};

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // A record begins with this prefix.
  virtual void prefix(const char* data, std::size_t size) = 0;
  // The next bytes of the current record's chunk (one chunk may come in pieces).
  virtual void chunk(const char* data, std::size_t size) = 0;
  // The current record is whole; newline: its chunk ends with one.
  virtual void end(bool newline) = 0;
};

class RecordParser {
 public:
  explicit RecordParser(RecordSink& sink) : sink_(sink) {}

  void feed(const char* data, std::size_t size);
  // The file will not grow any more. Empty when it held its header and whole
  // records (or nothing at all), else what was lost. runGoesOn: a later file
  // of the same run follows, so a last line without newline cannot be the
  // input's last one: it was cut.
  Loss finish(bool runGoesOn = false);
  // What is lost already, however the file goes on (for a file that may
  // still grow): empty unless it is not the writer's or stopped being records.
  Loss lostForGood() const;
  // The first header line without its timestamp, once read: the same for
  // every file of one run of the writer.
  const std::string& run() const { return run_; }
  // Where the record being read (or the next one) starts in the file.
  uint64_t recordOffset() const { return recordStart_; }
  // Bytes of the file read so far.
  uint64_t offset() const { return offset_; }
  // Records begun so far.
  uint64_t records() const { return records_; }
  // True when the file ends inside a record whose chunk may still grow.
  bool insideRecord() const { return state_ == State::kChunk; }

 private:
  enum class State { kSectionLine, kFormatLine, kPrefix, kChunk, kForeign, kBroken };

  std::size_t takeHeaderLine(const char* data, std::size_t size);
  std::size_t takePrefix(const char* data, std::size_t size);
  std::size_t takeChunk(const char* data, std::size_t size);
  bool isRecordPrefix(const char* prefix) const;
  Loss brokenTail() const;
  static Loss cutRecord(uint64_t offset, uint64_t bytes);

  RecordSink& sink_;
  State state_ = State::kSectionLine;
  std::string pending_;       // a header line or a prefix read in pieces
  std::string prefixTail_;    // a record prefix after its timestamp, from the header
  std::string run_;
  std::size_t chunkSize_ = 0;  // bytes of the current chunk so far
  uint64_t offset_ = 0;        // bytes of the file consumed
  uint64_t brokenAt_ = 0;      // where the bytes stopped being records
  uint64_t recordStart_ = 0;
  uint64_t records_ = 0;
};

}  // namespace zarvo

#include "reader/start_point.h"

#include <memory>
#include <optional>
#include <string>

#include "filestore/messages.h"
#include "format/record_layout.h"
#include "format/timestamp.h"
#include "reader/record_parser.h"
#include "reader/stored_file.h"
#include "reader/time_range.h"

namespace zarvo {
namespace {

constexpr std::size_t kReadBuffer = 256 * 1024;

// Counts records until one starts at or past an offset.
class SeekSink : public RecordSink {
 public:
  explicit SeekSink(uint64_t offset) : offset_(offset) {}
  void watch(const RecordParser& parser) { parser_ = &parser; }

  void prefix(const char*, std::size_t) override {
    if (done_) return;
    found_ = parser_->recordStart() == offset_;
    done_ = parser_->recordStart() >= offset_;
    ++records_;
  }
  void chunk(const char*, std::size_t) override {}
  void end(bool) override {}

  bool done() const { return done_; }
  bool found() const { return found_; }
  uint64_t records() const { return records_; }

 private:
  const RecordParser* parser_ = nullptr;
  uint64_t offset_;
  bool done_ = false;
  bool found_ = false;
  uint64_t records_ = 0;
};

// The time file n was opened, from its header's first line.
std::optional<int64_t> openedAt(const boost::filesystem::path& directory, uint64_t n) {
  StoredFile file;
  if (file.open(directory, n) != StoredFile::Opened::kYes) return std::nullopt;
  char text[kTimestampLength];
  std::size_t got = 0;
  for (ssize_t part; got < sizeof text && (part = file.read(text + got, sizeof text - got)) > 0;)
    got += static_cast<std::size_t>(part);
  if (got < sizeof text || !isTimestampShaped(text)) return std::nullopt;
  return timestampMillis(text);
}

}  // namespace

uint64_t recordsThrough(const boost::filesystem::path& directory, const Cursor& cursor) {
  const std::string text = formatCursor(cursor);
  StoredFile file;
  if (file.open(directory, cursor.file) != StoredFile::Opened::kYes)
    cursorError(text, "cannot read its file: " + file.error());
  std::unique_ptr<char[]> buffer(new char[kReadBuffer]);
  SeekSink seek(cursor.offset);
  RecordParser parser(seek);
  seek.watch(parser);
  ssize_t got;
  while (!seek.done() && (got = file.read(buffer.get(), kReadBuffer)) > 0)
    parser.feed(buffer.get(), static_cast<std::size_t>(got));
  if (!seek.found())
    cursorError(text, seek.done() ? "no record starts there in " + quoted(file.path())
                                  : "past the end of " + quoted(file.path()));
  return seek.records();
}

uint64_t firstFileSince(const boost::filesystem::path& directory,
                        const std::vector<uint64_t>& numbers, int64_t since) {
  // Binary search for the last file opened before `since`. A header that
  // cannot be read counts as later: the start is then only earlier.
  std::size_t low = 0, high = numbers.size();  // numbers[low..high) undecided
  std::size_t start = 0;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    std::optional<int64_t> opened = openedAt(directory, numbers[middle]);
    if (opened && *opened < since) {
      start = middle;
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return numbers.empty() ? 0 : numbers[start];
}

}  // namespace zarvo

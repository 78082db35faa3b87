#include "reader/start_point.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "filestore/file_name.h"
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
    found_ = parser_->recordOffset() == offset_;
    done_ = parser_->recordOffset() >= offset_;
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

// When the file at path was opened, from its header's first line.
std::optional<int64_t> openedAt(const boost::filesystem::path& path) {
  StoredFile file;
  if (file.open(path) != StoredFile::Opened::kYes) return std::nullopt;
  char text[kTimestampLength];
  std::size_t got = 0;
  for (ssize_t part; got < sizeof text && (part = file.read(text + got, sizeof text - got)) > 0;)
    got += static_cast<std::size_t>(part);
  if (got < sizeof text || !isTimestampShaped(text)) return std::nullopt;
  return timestampMillis(text);
}

}  // namespace

uint64_t recordsThrough(const boost::filesystem::path& path, const Cursor& cursor) {
  const std::string text = formatCursor(cursor);
  StoredFile file;
  StoredFile::Opened opened = file.open(path);
  // The ".log" goes only once its archive is whole.
  if (opened == StoredFile::Opened::kAbsent && !endsWith(path.string(), kCompressedSuffix))
    opened = file.open(path.string() + std::string(kCompressedSuffix));
  if (opened != StoredFile::Opened::kYes)
    cursorError(text, "cannot read its file: " + (opened == StoredFile::Opened::kAbsent
                                                      ? std::string("deleted")
                                                      : file.error()));
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

uint64_t firstFileSince(const Listing& listing, int64_t since) {
  std::vector<std::pair<uint64_t, boost::filesystem::path>> files;
  for (const auto& [number, entry] : listing)
    if (entry.hasFile()) files.emplace_back(number, entry.file());
  // Binary search for the last file opened before `since`. A header that
  // cannot be read counts as later: the start is then only earlier.
  std::size_t low = 0, high = files.size(), start = 0;  // files[low..high) undecided
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    std::optional<int64_t> opened = openedAt(files[middle].second);
    if (opened && *opened < since) {
      start = middle;
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  // One file earlier: a line is taken or passed over by its first record,
  // and one begun in that file may go on at the start of this one.
  if (start > 0) --start;
  return files.empty() ? 0 : files[start].first;
}

}  // namespace zarvo

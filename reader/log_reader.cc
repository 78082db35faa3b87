#include "reader/log_reader.h"

#include <algorithm>
#include <iostream>

#include "filestore/file_name.h"
#include "filestore/messages.h"
#include "filestore/scan_directory.h"
#include "reader/start_point.h"

namespace zarvo {
namespace {

constexpr std::size_t kReadBuffer = 256 * 1024;

}  // namespace

LogReader::LogReader(ReaderOptions options, Output& out)
    : options_(std::move(options)),
      out_(out),
      sink_(out, options_.raw, options_.json),
      keeper_(options_.cursorFile, out.fd()),
      buffer_(new char[kReadBuffer]) {
  sink_.keepCursor(keeper_);
  sink_.limit(options_.range);
}

// Lists the directory; returns the lowest number at or above next_ and
// raises highest_ to what is there.
std::optional<uint64_t> LogReader::rescan() {
  boost::system::error_code error;
  // Only files count: a stray entry of another kind says nothing about how
  // far the writer has come.
  NumberedFile anyEntry{0, {}};
  std::vector<NumberedFile> found =
      scanDirectory(options_.directory.string(), std::string(kFilePrefix), error,
                    std::string(kLogSuffix), anyEntry);
  if (error) fatalError("Cannot list directory `", quoted(options_.directory), error.message());
  numbers_.clear();
  for (const NumberedFile& file : found)
    if (numbers_.empty() || numbers_.back() != file.number) numbers_.push_back(file.number);
  if (!numbers_.empty()) highest_ = std::max(highest_, numbers_.back());
  auto at = std::lower_bound(numbers_.begin(), numbers_.end(), next_);
  if (at == numbers_.end()) return std::nullopt;
  return *at;
}

void LogReader::reportLost(const boost::filesystem::path& path, const std::string& what) {
  out_.flush();
  printError("Records lost: `", quoted(path), what);
  lost_ = true;
}

void LogReader::reportDeleted(uint64_t first, uint64_t last) {
  reportLost(options_.directory / logFileName(kFilePrefix, first),
             first == last ? "deleted before it could be read"
                           : "files " + std::to_string(first) + " to " + std::to_string(last) +
                                 " deleted before they could be read");
}

// With a count, the start is found from the newest file backwards: the
// record after the (COUNT+1)-th line end from the back. The newest record
// ends a line even without its newline, as a last line does for tail -n.
void LogReader::chooseStart() {
  uint64_t want = *options_.count;
  uint64_t laterEnds = 0;
  bool newest = true;
  const std::vector<uint64_t> numbers = numbers_;
  for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) {
    const uint64_t n = *it;
    StoredFile file;
    if (file.open(options_.directory, n) != StoredFile::Opened::kYes) continue;
    CountSink counter(options_.raw);
    RecordParser parser(counter);
    for (ssize_t got; (got = file.read(buffer_.get(), kReadBuffer)) > 0;)
      parser.feed(buffer_.get(), static_cast<std::size_t>(got));
    if (!newest || file.isArchive()) parser.finish();
    std::vector<uint64_t>& ends = counter.lineEnds();
    if (newest && counter.records() > 0) {
      if (ends.empty() || ends.back() != counter.records() - 1) ends.push_back(counter.records() - 1);
      newest = false;
    }
    if (laterEnds + ends.size() > want) {
      startNumber_ = n;
      startSkip_ = ends[ends.size() - (want - laterEnds) - 1] + 1;
      next_ = n;
      return;
    }
    laterEnds += ends.size();
  }
  next_ = numbers_.front();
}

// Right after the cursor's record. A file retention deleted meanwhile is
// reported as any loss is, by openNext, which then goes on at the oldest.
void LogReader::startAfter(const Cursor& cursor) {
  if (numbers_.empty() || cursor.file > numbers_.back())
    cursorError(formatCursor(cursor), "past the end of the stored files");
  keeper_.startAt(cursor);
  next_ = cursor.file;
  if (std::binary_search(numbers_.begin(), numbers_.end(), cursor.file)) {
    startNumber_ = cursor.file;
    startSkip_ = recordsThrough(options_.directory, cursor);
  }
}

// What the run covered goes to the cursor file and, with --show-cursor, to
// stderr. A cursor that could not be saved makes the status 1.
void LogReader::finishCursor() {
  if (!keeper_.finish(out_.written())) lost_ = true;
  if (!options_.showCursor || !keeper_.covered()) return;
  const std::string line = "-- cursor: " + formatCursor(*keeper_.covered()) + "\n";
  std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cerr.flush();
}

bool LogReader::openNext() {
  for (;;) {
    switch (current_.open(options_.directory, next_)) {
      case StoredFile::Opened::kYes:
        parser_.emplace(sink_);
        sink_.startFile(next_, *parser_);
        sink_.skip(next_ == startNumber_ ? startSkip_ : 0);
        startNumber_ = 0;
        open_ = true;
        return true;
      case StoredFile::Opened::kNotRegular:
        out_.flush();
        printError("Skipped: `", quoted(current_.path()), "not a regular file");
        lost_ = true;
        ++next_;
        continue;
      case StoredFile::Opened::kFailed:
        reportLost(current_.path(), current_.error());
        ++next_;
        continue;
      case StoredFile::Opened::kAbsent:
      case StoredFile::Opened::kRetry:
        break;
    }
    // Not there. When nothing at or above it is known, it is yet to come.
    if (highest_ < next_) return false;
    // Else it was created (the writer numbers files one after another), so
    // it is gone, unless the listing below shows it: a name can move from
    // ".log" to ".log.gz" while the directory is read.
    std::optional<uint64_t> found = rescan();
    if (found == next_) continue;
    if (current_.open(options_.directory, next_) == StoredFile::Opened::kYes) {
      current_.close();
      continue;
    }
    const uint64_t last = found ? *found - 1 : highest_;
    reportDeleted(next_, last);
    next_ = last + 1;
  }
}

bool LogReader::readAvailable() {
  for (;;) {
    ssize_t got = current_.read(buffer_.get(), kReadBuffer);
    if (got > 0) parser_->feed(buffer_.get(), static_cast<std::size_t>(got));
    keeper_.tick(out_.written());
    if (got < 0) {
      // The rest of the file cannot be had; what was read still counts.
      reportLost(current_.path(), current_.error());
      sink_.endOpenRecord();
      current_.close();
      open_ = false;
      ++next_;
      return false;
    }
    if (got == 0 || out_.closed() || sink_.pastUntil()) return true;
  }
}

void LogReader::finishCurrent() {
  std::string lost = parser_->finish();
  if (!lost.empty()) reportLost(current_.path(), lost);
  current_.close();
  open_ = false;
}

bool LogReader::waitForChange() {
  out_.flush();
  if (out_.closed()) return false;
  if (!watch_->wait(next_, keeper_.dueMillis(out_.written()))) return false;
  keeper_.tick(out_.written());
  highest_ = std::max(highest_, watch_->highestNamed());
  if (watch_->rescanDue()) rescan();
  if (watch_->polling() && highest_ <= next_) {
    // No events tell when the next file comes; look for it.
    StoredFile probe;
    if (probe.open(options_.directory, next_ + 1) != StoredFile::Opened::kAbsent)
      highest_ = std::max(highest_, next_ + 1);
  }
  return true;
}

int LogReader::run() {
  // Watching starts before the first listing, so nothing created after it
  // goes unnoticed.
  if (options_.follow) watch_ = std::make_unique<DirectoryWatch>(options_.directory);
  next_ = 0;
  rescan();
  // The cursor file's place, else --after-cursor's, else -n's, else the oldest.
  std::optional<Cursor> after = keeper_.load();
  if (!after && !options_.afterCursor.empty()) {
    after = parseCursor(options_.afterCursor);
    if (!after) cursorError(options_.afterCursor, "not FILE:OFFSET");
  }
  if (after) {
    startAfter(*after);
  } else if (numbers_.empty()) {
    // The writer starts an empty directory at 1.
    if (!options_.follow) return 0;
    next_ = 1;
  } else if (options_.count) {
    chooseStart();
  } else {
    next_ = numbers_.front();
  }
  if (!after && !numbers_.empty() && options_.range.limited()) {
    const uint64_t first = firstFileSince(options_.directory, numbers_, options_.range.since);
    if (first > next_) {
      next_ = first;
      startNumber_ = 0;
    }
  }
  bool stopped = false;
  while (!stopped && !out_.closed()) {
    if (!open_ && !openNext()) {
      if (!options_.follow) break;
      stopped = !waitForChange();
      continue;
    }
    // Decided before reading: once a higher number exists, this file has
    // all its bytes on disk, and the read below gets them all.
    const bool replaced = watch_ && watch_->currentCreated() && current_.replacedOnDisk();
    const bool finished = current_.isArchive() || highest_ > next_ || replaced;
    if (!readAvailable()) continue;
    if (sink_.pastUntil()) break;
    if (finished) {
      finishCurrent();
      if (!replaced) ++next_;
      // A long catch-up still stops promptly.
      stopped = watch_ && watch_->stopRequested();
      continue;
    }
    if (!options_.follow) {
      // The newest file may still grow, but not back into records.
      if (std::string lost = parser_->lostForGood(); !lost.empty())
        reportLost(current_.path(), lost);
      break;
    }
    stopped = !waitForChange();
  }
  sink_.endOpenRecord(options_.follow);
  out_.flush();
  finishCursor();
  return lost_ ? 1 : 0;
}

}  // namespace zarvo

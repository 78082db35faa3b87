#include "reader/log_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include "filestore/file_name.h"
#include "filestore/messages.h"
#include "format/clock_reading.h"
#include "format/timestamp.h"
#include "reader/json_line.h"
#include "reader/start_point.h"
#include "reader/stop_signal.h"

namespace zarvo {
namespace {

constexpr std::size_t kReadBuffer = 256 * 1024;
// Enough for the header and the first record's prefix.
constexpr std::size_t kFileStart = 4096;

// The run of the writer that made the file at path (its first header line
// without the time: empty when it has none), and whether it holds a record.
struct FileStart {
  std::string run;
  bool holdsRecord = false;
};

FileStart startOf(const boost::filesystem::path& path) {
  StoredFile file;
  CountSink counter(LineEnds::kRecords);
  RecordParser parser(counter);
  char bytes[kFileStart];
  std::size_t have = 0;
  if (file.open(path) == StoredFile::Opened::kYes) {
    for (ssize_t n; have < sizeof bytes && (n = file.read(bytes + have, sizeof bytes - have)) > 0;)
      have += static_cast<std::size_t>(n);
  }
  parser.feed(bytes, have);
  return {parser.run(), parser.records() > 0};
}

}  // namespace

LogReader::LogReader(ReaderOptions options, Output& out)
    : options_(std::move(options)),
      out_(out),
      sink_(out, options_.raw, options_.json),
      keeper_(options_.cursorFile, out.fd()),
      buffer_(new char[kReadBuffer]) {
  sink_.keepCursor(keeper_);
  sink_.limit(options_.range);
  sink_.host(options_.host);
}

void LogReader::rescan() {
  boost::system::error_code error;
  Listing fresh = listDirectory(options_.directory, error);
  if (options_.follow) checkDirectory(fresh);
  if (error) fatalError("Cannot list directory `", quoted(options_.directory), error.message());
  listing_ = std::move(fresh);
  reportStrays();
}

// A follower whose directory went, or lost its files to someone else, says
// so and ends: what it would print next is not the writer's sequence.
void LogReader::checkDirectoryThere() const {
  struct stat st;
  if (stat(options_.directory.c_str(), &st) != 0 || st.st_dev != directoryDevice_ ||
      st.st_ino != directoryInode_)
    fatalError("Cannot follow directory `", quoted(options_.directory), "it was removed");
}

void LogReader::checkDirectory(const Listing& fresh) {
  checkDirectoryThere();
  const uint64_t at = open_ ? next_ : lastRead_;
  if (at == 0 || nextFileNumber(fresh, at) != 0 || (open_ && current_.stillNamed())) return;
  // Nothing at or above the file last read. The writer never removes its
  // newest file unless it held no record, and never numbers below it.
  bool startedBelow = false;
  for (const auto& [number, entry] : fresh) {
    auto before = listing_.find(number);
    if (entry.hasFile() && (before == listing_.end() || !before->second.hasFile()))
      startedBelow = true;
  }
  const bool emptied = nextFileNumber(fresh, 0) == 0 && (!open_ || parser_->records() > 0);
  if (!startedBelow && !emptied) return;
  // A name that moves while the directory is read can be missed: ask again.
  boost::system::error_code error;
  const Listing again = listDirectory(options_.directory, error);
  if (!error && nextFileNumber(again, at) == 0 && (nextFileNumber(again, 0) == 0 || startedBelow))
    fatalError("Cannot follow directory `", quoted(options_.directory),
               "its files were removed");
}

void LogReader::reportStrays() {
  for (const auto& [number, entry] : listing_) {
    for (const boost::filesystem::path& path : entry.strays) {
      if (!reportedStrays_.insert(path).second) continue;
      struct stat st;
      if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        reportLost(path, number, number,
                   {"a second file of number " + std::to_string(number), 0,
                    static_cast<uint64_t>(st.st_size)});
      } else {
        out_.flush();
        printError("Skipped: `", quoted(path), "not a regular file");
      }
    }
  }
}

// Said on stderr and, with -o json, as a gap object in its place among the
// lines on standard output.
void LogReader::reportLost(const boost::filesystem::path& path, uint64_t first, uint64_t last,
                           const Loss& loss) {
  if (options_.json) {
    // Its time is the last record's read before it, else the time it was found.
    char timestamp[kTimestampLength];
    int64_t millis;
    if (!sink_.lastTime(timestamp, millis)) {
      const ClockReading now = clampToPrintable(readClock());
      timestampDigits(timestamp, now);
      millis = now.seconds * 1000 + now.millis;
    }
    gap_.clear();
    appendJsonGap(gap_, {options_.host, first, last, loss.offset, loss.bytes, loss.records,
                         loss.why, timestamp, millis});
    out_.append(gap_.data(), gap_.size());
  }
  out_.flush();
  printError("Records lost: `", quoted(path), loss.why);
  lost_ = true;
  setStopStatus(1);
}

void LogReader::reportDeleted(uint64_t first, uint64_t last) {
  // A line that went on in the files lost ends where they begin.
  if (options_.json) sink_.endCutRecord();
  reportLost(options_.directory / logFileName(kFilePrefix, first), first, last,
             {first == last ? "deleted before it could be read"
                            : "files " + std::to_string(first) + " to " + std::to_string(last) +
                                  " deleted before they could be read"});
}

// With a count, the start is found from the newest file backwards: the
// COUNT-th line end from the back, counted in constant memory. The newest
// record ends a line even without its newline, as a last line does for
// tail -n.
void LogReader::chooseStart() {
  const uint64_t want = *options_.count;
  uint64_t laterEnds = 0;
  bool newest = true;
  for (auto it = listing_.rbegin(); it != listing_.rend() && !stopRequested(); ++it) {
    StoredFile file;
    if (!it->second.hasFile() || file.open(it->second.file()) != StoredFile::Opened::kYes) continue;
    CountSink counter(lineEndsOf(options_.raw, options_.json), options_.range.until);
    RecordParser parser(counter);
    for (ssize_t got; (got = file.read(buffer_.get(), kReadBuffer)) > 0;)
      parser.feed(buffer_.get(), static_cast<std::size_t>(got));
    if (!newest || file.isArchive()) parser.finish();
    uint64_t ends = counter.lineEnds();
    if (newest && counter.counted()) {
      if (counter.openLine()) ++ends;
      newest = false;
    }
    if (laterEnds + ends > want) {
      startNumber_ = it->first;
      startSkip_ = ends - (want - laterEnds);
      next_ = it->first;
      return;
    }
    laterEnds += ends;
  }
  next_ = 1;  // all of it: the oldest stored, once a second listing agrees
}

// Numbers between the file last read and the next one found: lost, unless
// the next one opens a new run of the writer. A start removes the leftover
// that never got a record and numbers past every name it finds, so the
// numbers between two runs held nothing, as long as the earlier run's file
// is still there (retention deletes oldest first, and passed none of them).
bool LogReader::gapIsLoss(uint64_t found) const {
  if (lastRead_ == 0) return false;  // files deleted before the start are retention's
  const std::string run = startOf(listing_.at(found).file()).run;
  if (run.empty() || run == lastRun_) return true;
  auto last = listing_.find(lastRead_);
  return last == listing_.end() || !last->second.hasFile();
}

// Right after the cursor's record. A file retention deleted meanwhile is
// reported as any loss is, by openNext, which then goes on at the oldest.
void LogReader::startAfter(const Cursor& cursor) {
  uint64_t highest = 0;
  for (const auto& [number, entry] : listing_)
    if (entry.hasFile()) highest = number;
  if (cursor.file > highest) cursorError(formatCursor(cursor), "past the end of the stored files");
  keeper_.startAt(cursor);
  next_ = cursor.file;
  auto at = listing_.find(cursor.file);
  if (at != listing_.end() && at->second.hasFile()) {
    startNumber_ = cursor.file;
    startRecords_ = recordsThrough(at->second.file(), cursor);
    return;
  }
  // The cursor's record was read, the rest of its file was not.
  next_ = nextFileNumber(listing_, cursor.file);
  reportDeleted(cursor.file, next_ - 1);
}

// What the run covered goes to the cursor file and, with --show-cursor, to
// stderr. A cursor that could not be saved makes the status 1.
void LogReader::finishCursor() {
  if (!keeper_.finish(out_.written(), stopRequested())) lost_ = true;
  if (!options_.showCursor || !keeper_.covered()) return;
  const std::string line = "-- cursor: " + formatCursor(*keeper_.covered()) + "\n";
  std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cerr.flush();
}

bool LogReader::openNext() {
  for (;;) {
    const uint64_t found = nextFileNumber(listing_, next_);
    if (found == 0) return false;  // yet to come
    if (found > next_) {
      // A name that moves (.log to .log.gz) while the directory is read
      // can be missed by that one listing: passed over only when a second
      // one agrees, lost or not.
      rescan();
      if (nextFileNumber(listing_, next_) != found) continue;
      if (gapIsLoss(found)) reportDeleted(next_, found - 1);
      next_ = found;
    }
    const boost::filesystem::path path = listing_.at(next_).file();
    switch (current_.open(path)) {
      case StoredFile::Opened::kYes:
        parser_.emplace(sink_);
        sink_.startFile(next_, *parser_);
        sink_.skipLines(next_ == startNumber_ ? startSkip_ : 0);
        sink_.skipRecords(next_ == startNumber_ ? startRecords_ : 0);
        startNumber_ = 0;
        open_ = true;
        return true;
      case StoredFile::Opened::kNotRegular:
        if (reportedStrays_.insert(path).second) {
          out_.flush();
          printError("Skipped: `", quoted(path), "not a regular file");
        }
        ++next_;
        continue;
      case StoredFile::Opened::kFailed:
        reportLost(path, next_, next_, {current_.error()});
        ++next_;
        continue;
      case StoredFile::Opened::kAbsent: {
        // Moved to its archive, or deleted, since the listing.
        rescan();
        auto at = listing_.find(next_);
        if (at != listing_.end() && at->second.log == path) at->second.log.clear();
        if (at != listing_.end() && at->second.archive == path) at->second.archive.clear();
        continue;
      }
    }
  }
}

bool LogReader::readAvailable() {
  for (;;) {
    if (stopRequested()) return false;
    ssize_t got = current_.read(buffer_.get(), kReadBuffer);
    if (got > 0) parser_->feed(buffer_.get(), static_cast<std::size_t>(got));
    keeper_.tick(out_.written());
    if (got < 0) {
      // The rest of the file cannot be had; what was read still counts.
      sink_.endCutRecord();
      reportLost(current_.path(), next_, next_, {current_.error(), parser_->offset()});
      noteRead();
      current_.close();
      open_ = false;
      ++next_;
      return false;
    }
    if (got == 0 || out_.closed() || sink_.pastUntil()) return true;
  }
}

// Whether the writer is done with the file held: the next number exists, or
// the file's name went to its archive or a later file (a restart archives
// it). A name merely deleted by hand is not enough, the writer may still be
// writing into the file; a name that leads to another file now is.
bool LogReader::writingEnded(bool& replaced) {
  if (current_.isArchive() || nextFileNumber(listing_, next_ + 1) == next_ + 1) return true;
  if (current_.stillNamed()) return false;
  // The listing may be older than the name's going: the next file, made
  // before the archive, may be missing from it.
  rescan();
  if (nextFileNumber(listing_, next_ + 1) == next_ + 1) return true;
  struct stat st;
  replaced = lstat(current_.path().c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (replaced) return true;
  auto at = listing_.find(next_);
  return (at != listing_.end() && !at->second.archive.empty()) ||
         nextFileNumber(listing_, next_ + 1) != 0;
}

void LogReader::finishCurrent() {
  // A last line without newline ends a run's input: the run stores no
  // record after it. Followed by one, it was cut.
  bool runGoesOn = false;
  if (parser_->insideRecord()) {
    auto after = listing_.find(next_ + 1);
    if (after != listing_.end() && after->second.hasFile()) {
      const FileStart start = startOf(after->second.file());
      runGoesOn = start.holdsRecord && !start.run.empty() && start.run == parser_->run();
    }
  }
  const Loss lost = parser_->finish(runGoesOn);
  if (!lost.empty()) {
    sink_.endCutRecord();
    reportLost(current_.path(), next_, next_, lost);
  }
  noteRead();
  current_.close();
  open_ = false;
}

void LogReader::noteRead() {
  if (parser_->run().empty()) return;
  lastRead_ = next_;
  lastRun_ = parser_->run();
}

bool LogReader::waitForChange() {
  out_.flush();
  if (out_.closed()) return false;
  if (!watch_->wait(keeper_.dueMillis(out_.written()))) {
    if (!stopRequested()) out_.hangUp();
    return false;
  }
  keeper_.tick(out_.written());
  if (watch_->rescanDue()) {
    rescan();
  } else {
    checkDirectoryThere();
  }
  return true;
}

int LogReader::run() {
  if (options_.follow) {
    // Watching starts before the first listing, so nothing created after it
    // goes unnoticed.
    installStopHandler();
    watch_ = std::make_unique<DirectoryWatch>(options_.directory);
    struct stat st;
    if (stat(options_.directory.c_str(), &st) == 0) {
      directoryDevice_ = st.st_dev;
      directoryInode_ = st.st_ino;
    }
  }
  rescan();
  // The cursor file's place, else --after-cursor's, else -n's, else the oldest.
  std::optional<Cursor> after = keeper_.load();
  if (!after && !options_.afterCursor.empty()) {
    after = parseCursor(options_.afterCursor);
    if (!after) cursorError(quotedText(options_.afterCursor), "not FILE:OFFSET");
  }
  const uint64_t first = nextFileNumber(listing_, 0);
  if (after) {
    startAfter(*after);
  } else if (first == 0) {
    if (!options_.follow) return lost_ ? 1 : 0;
    next_ = 1;  // the writer starts an empty directory at 1
  } else if (options_.count) {
    chooseStart();
  } else {
    next_ = 1;  // the oldest stored, once a second listing agrees
  }
  if (!after && first != 0 && options_.range.limited()) {
    const uint64_t since = firstFileSince(listing_, options_.range.since);
    if (since > next_) {
      next_ = since;
      startNumber_ = 0;
    }
  }
  while (!stopRequested() && !out_.closed()) {
    if (!open_ && !openNext()) {
      if (!options_.follow || !waitForChange()) break;
      continue;
    }
    // Decided before reading: once the writer is done with this file, all
    // its bytes are on disk, and the read below gets them all.
    bool replaced = false;
    const bool finished = options_.follow
                              ? writingEnded(replaced)
                              : current_.isArchive() || nextFileNumber(listing_, next_ + 1) != 0;
    if (!readAvailable()) continue;
    // Output gone: the file was read only in part, and its rest is no loss.
    if (sink_.pastUntil() || out_.closed()) break;
    if (finished) {
      finishCurrent();
      if (!replaced) ++next_;
      continue;
    }
    if (!options_.follow) {
      // The newest file may still grow, but not back into records.
      if (const Loss lost = parser_->lostForGood(); !lost.empty())
        reportLost(current_.path(), next_, next_, lost);
      break;
    }
    if (!waitForChange()) break;
  }
  sink_.endOpenRecord(options_.follow);
  out_.flush();
  finishCursor();
  // A pipeline whose reader went away must be restarted, not left quiet.
  if (options_.follow && out_.closed() && !stopRequested())
    fatalLine("Cannot write to stdout: " + errorText(EPIPE));
  return lost_ ? 1 : 0;
}

}  // namespace zarvo

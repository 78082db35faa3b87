#pragma once
// Prints the records stored in a log directory, oldest first, each once,
// and with `follow` goes on printing what the writer stores next. A file is
// read until the next number exists, or until its name went to an archive or
// a later file: the writer closes a file before it creates the next one, so
// what is read after that is all there is. Every loss (a file deleted
// before it was read, cut short, or not the writer's) is said in one line
// on stderr, and with -o json also as an object among the lines; numbers
// that never held a record are not. Single thread.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <boost/filesystem/path.hpp>

#include "reader/directory_listing.h"
#include "reader/directory_watch.h"
#include "reader/output.h"
#include "reader/record_parser.h"
#include "reader/record_sinks.h"
#include "reader/stored_file.h"
#include "reader/time_range.h"
#include "reader/cursor_file.h"

namespace zarvo {

struct ReaderOptions {
  boost::filesystem::path directory;
  bool follow = false;
  bool raw = false;
  std::optional<uint64_t> count;  // start with the last COUNT records (lines with raw)
  bool json = false;               // -o json: one object per line, joined as raw joins
  std::string host;                // each object's "host" (--host, else the host's name)
  std::string afterCursor;         // as given; empty when none
  boost::filesystem::path cursorFile;
  bool showCursor = false;
  std::string since, until;        // as given; empty when none
  TimeRange range;                 // what since and until say
};

class LogReader {
 public:
  LogReader(ReaderOptions options, Output& out);

  // 0 when nothing was lost, 1 when a loss was reported (or, following,
  // standard output lost its reader, or the cursor could not be saved).
  int run();

 private:
  void rescan();
  void checkDirectory(const Listing& fresh);
  void checkDirectoryThere() const;
  void reportStrays();
  void chooseStart();
  bool openNext();
  bool gapIsLoss(uint64_t found) const;
  bool readAvailable();
  bool writingEnded(bool& replaced);
  void finishCurrent();
  void noteRead();
  bool waitForChange();
  void reportLost(const boost::filesystem::path& path, uint64_t first, uint64_t last,
                  const Loss& loss);
  void reportDeleted(uint64_t first, uint64_t last);
  void startAfter(const Cursor& cursor);
  void finishCursor();

  ReaderOptions options_;
  Output& out_;
  PrintSink sink_;
  CursorKeeper keeper_;
  std::unique_ptr<DirectoryWatch> watch_;
  StoredFile current_;
  std::optional<RecordParser> parser_;
  bool open_ = false;
  uint64_t next_ = 0;  // the number being read, or to be read next
  Listing listing_;    // the last listing
  std::set<boost::filesystem::path> reportedStrays_;
  uint64_t startNumber_ = 0;
  uint64_t startSkip_ = 0;  // line ends to pass in the start file
  uint64_t startRecords_ = 0;  // or records, to start after a cursor
  uint64_t lastRead_ = 0;   // the last file whose header was read (0: none yet)
  std::string lastRun_;     // and its run
  dev_t directoryDevice_ = 0;
  ino_t directoryInode_ = 0;
  bool lost_ = false;
  std::unique_ptr<char[]> buffer_;
  std::string gap_;  // a gap object being written
};

}  // namespace zarvo

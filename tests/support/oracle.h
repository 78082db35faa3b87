#pragma once
// The shared checker of the fault tests: reads back everything the writer
// left in DIRECTORY (archives inflated, ".log" files raw, in number order),
// cuts it into records and says, in readable lines, which promises do not
// hold. Single-threaded; call it while no writer runs on DIRECTORY, or when
// only stored() is wanted.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace zarvo::test {

// Promises a directory can be held to; combine with |.
enum Promise : unsigned {
  // What the records hold is an exact prefix of the input: no hole, no
  // duplicate, no foreign byte.
  kPrefixOfInput = 1u << 0,
  // ... and it is all of the input.
  kAllOfInput = 1u << 1,
  // As a finished recovery run leaves it: every archive one whole gzip
  // member that `gzip -t` accepts, no number both ".log" and ".gz", no
  // ".log" but the current (highest) one, the link naming the current file.
  kRecovered = 1u << 2,
  // Exactly the newest max(1, MAXFILENUM - 1) archives below the current
  // file, or all of them when there are fewer; numbers of files an earlier
  // check saw holding no record may be gone.
  kNewestArchivesKept = 1u << 3,
  // Every file is its two header lines plus whole records, each record's
  // prefix shaped like the one in its file's second header line.
  kWholeRecords = 1u << 4,
  // Nothing in the watched tree beside DIRECTORY changed.
  kOutsideUntouched = 1u << 5,
  // DIRECTORY itself is as it was (a writer that must refuse to start).
  kDirectoryUntouched = 1u << 6,
  // Read in file order, no timestamp (header lines included) is older than
  // the one before it.
  kTimeInOrder = 1u << 7,
};

struct Verdict {
  std::string stored;    // every record's chunk, in file-number order
  std::string failures;  // one line per broken promise; empty when all hold
};

class Oracle {
 public:
  // watched: a tree holding DIRECTORY whose other entries no run may touch;
  // empty to watch nothing. Takes the snapshots the last two promises
  // compare with.
  Oracle(std::string dir, uint32_t maxFileNum, std::string watched = "");

  // Takes the snapshots again, e.g. once a first writer has gone quiet.
  void snapshot();

  // input: what DIRECTORY should hold, oldest first. Its first `settled`
  // bytes were stored by earlier runs and must not be lost, though whole
  // files from the front may be retired by retention.
  Verdict check(unsigned promises, const std::string& input, size_t settled = 0) const;

  std::string stored() const { return check(0, "").stored; }

 private:
  using Tree = std::map<std::string, std::string>;  // path -> type, mode, content

  std::string dir_;
  uint32_t maxFileNum_;
  std::string watched_;
  Tree outside_;
  Tree inside_;
  mutable std::set<uint64_t> bare_;  // numbers seen holding no record
};

}  // namespace zarvo::test

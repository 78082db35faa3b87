#pragma once
// A log directory as a test sees it at one moment: which numbers have a
// ".log", which an archive, where the link points and what else is there;
// and polling until the writer's background work has brought it to a state.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zarvo::test {

// zarvo-access-<n>.log, its archive, and the link.
std::string logName(uint64_t n);
std::string gzName(uint64_t n);
extern const char kLinkName[];

struct LogDirectory {
  struct Numbered {
    bool log = false;
    bool archive = false;
  };
  std::map<uint64_t, Numbered> files;  // by number
  std::string link;                    // the link's text, empty when there is none
                                       // (anything else at its path is in others)
  std::vector<std::string> others;     // names that are none of the above

  // The numbers that have a ".log".
  std::vector<uint64_t> logs() const;
  // The highest number, 0 when there is none.
  uint64_t highest() const;
  // The current file's number once the archive thread has caught up: it is
  // the only ".log", the highest number, and the link names it; else 0.
  uint64_t caughtUpAt(const std::string& dir) const;
};

// Names zarvo-access-<n>.log, zarvo-access-<n>.log.gz (n plain decimal) and
// the link zarvo-access.log.
LogDirectory listLogDirectory(const std::string& dir);

// True once `done` holds, polled every 10 ms for up to `seconds`; an exception
// from `done` (a file caught mid-write) counts as not yet.
bool eventually(const std::function<bool()>& done, double seconds = 20);

}  // namespace zarvo::test

#include "tests/support/oracle.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "format/product.h"
#include "tests/support/files.h"
#include "tests/support/log_directory.h"
#include "tests/support/log_file.h"
#include "tests/support/process.h"

namespace zarvo::test {
namespace {

const std::string kLink = kLinkName;

using Numbered = LogDirectory::Numbered;

// Bytes for a report: printable ASCII as it is, the rest escaped.
std::string excerpt(const std::string& bytes, size_t at, size_t length = 40) {
  std::string out;
  for (size_t i = at; i < bytes.size() && i < at + length; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return "\"" + out + "\"";
}

bool headerLinesValid(const LogFile& log) {
  static const std::regex section(std::string(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)") +
                                  " Section for Quvane Lanternharbor, pid=\\d+, version=" +
                                  kProductVersion + ", build=" + kProductBuild +
                                  ", option=" + kProductOption + "\n");
  static const std::regex prefix(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"
                                 R"( info zarvo\[\d+\] \[Originator@8461 sub=Default\] )");
  const std::string format = kFormatText;
  const std::string reference = log.formatLine.substr(0, log.formatLine.size() - format.size());
  return std::regex_match(log.sectionLine, section) && std::regex_match(reference, prefix);
}

// One file cut into records. A run killed in the middle of a write can leave
// the file ending inside a record prefix; those bytes are set apart in torn.
struct CutFile {
  LogFile log;
  std::string torn;
};

CutFile cutFile(const std::string& bytes) {
  try {
    return {parseLog(bytes), ""};
  } catch (const std::runtime_error&) {
    // Only a cut inside the last prefix can be cured by dropping bytes.
    for (size_t drop = 1; drop < 128 && drop < bytes.size(); ++drop) {
      try {
        return {parseLog(bytes.substr(0, bytes.size() - drop)), bytes.substr(bytes.size() - drop)};
      } catch (const std::runtime_error&) {
      }
    }
    throw;
  }
}

class Checker {
 public:
  Checker(const std::string& dir, uint32_t maxFileNum, unsigned promises, std::set<uint64_t>& bare)
      : dir_(dir), maxFileNum_(maxFileNum), promises_(promises),
        files_(listLogDirectory(dir).files), bare_(bare) {}

  // Reads every file in number order: checks headers and records, returns
  // the records' chunks.
  std::string readAll() {
    std::string stored;
    for (const auto& [number, file] : files_) stored += readOne(number, file);
    return stored;
  }

  void checkInput(const std::string& stored, const std::string& input, size_t settled);
  void checkRecovered();
  void checkRetention();

  std::string report() const { return report_.str(); }
  void fail(const std::string& line) { report_ << line << "\n"; }

 private:
  std::string readOne(uint64_t number, const Numbered& file);
  void checkRecords(const std::string& name, const CutFile& cut);
  uint64_t current() const { return files_.empty() ? 0 : files_.rbegin()->first; }

  std::string dir_;
  uint32_t maxFileNum_;
  unsigned promises_;
  std::map<uint64_t, Numbered> files_;
  std::set<uint64_t>& bare_;
  std::string lastTime_;  // the latest timestamp read so far
  bool timeFailed_ = false;
  std::ostringstream report_;
};

std::string Checker::readOne(uint64_t number, const Numbered& file) {
  // The ".log" wins: an archive beside it may be one a kill cut short.
  const std::string name = logName(number) + (file.log ? "" : ".gz");
  std::string bytes;
  try {
    bytes = file.log ? readFile(dir_ + "/" + name) : gunzipFile(dir_ + "/" + name);
  } catch (const std::runtime_error& failure) {
    fail(name + ": cannot be read: " + failure.what());
    return "";
  }
  // A file created but never written: a kill before its header reached the
  // disk. It holds no record, so nothing is lost.
  if (bytes.empty()) {
    bare_.insert(number);
    return "";
  }
  CutFile cut;
  try {
    cut = cutFile(bytes);
  } catch (const std::runtime_error& failure) {
    fail(name + ": not a log file (" + failure.what() + "): starts " + excerpt(bytes, 0));
    return "";
  }
  if (!headerLinesValid(cut.log))
    fail(name + ": malformed header " + excerpt(cut.log.sectionLine + cut.log.formatLine, 0, 200));
  checkRecords(name, cut);
  if (cut.log.chunks.empty()) bare_.insert(number);
  return cut.log.body();
}

void Checker::checkRecords(const std::string& name, const CutFile& cut) {
  const std::string format = kFormatText;
  const std::string reference =
      cut.log.formatLine.substr(0, cut.log.formatLine.size() - format.size());
  if (!prefixMatches(cut.torn, reference))
    fail(name + ": ends in bytes that are no record prefix: " + excerpt(cut.torn, 0));
  if (promises_ & kTimeInOrder) {
    std::vector<std::string> times{cut.log.sectionLine, cut.log.formatLine};
    times.insert(times.end(), cut.log.prefixes.begin(), cut.log.prefixes.end());
    for (size_t i = 0; i < times.size(); ++i) {
      // The timestamp's text sorts as its time does.
      const std::string time = times[i].substr(0, 24);
      // One line is enough: every later file of a batch would repeat it.
      if (time < lastTime_ && !timeFailed_)
        timeFailed_ = true, fail(name + ": " + (i < 2 ? "header line " + std::to_string(i + 1)
                                  : "record " + std::to_string(i - 1)) +
             " at " + time + " follows " + lastTime_);
      lastTime_ = std::max(lastTime_, time);
    }
  }
  if (!(promises_ & kWholeRecords)) return;
  if (!cut.torn.empty())
    fail(name + ": ends inside a record prefix, " + std::to_string(cut.torn.size()) + " bytes");
  for (size_t i = 0; i < cut.log.prefixes.size(); ++i) {
    if (prefixMatches(cut.log.prefixes[i], reference)) continue;
    fail(name + ": record " + std::to_string(i + 1) + " has prefix " +
         excerpt(cut.log.prefixes[i], 0, 100) + ", header shows " + excerpt(reference, 0, 100));
    return;
  }
}

void Checker::checkInput(const std::string& stored, const std::string& input, size_t settled) {
  const bool all = promises_ & kAllOfInput;
  // Retention may have retired whole files from the front; then the records
  // start somewhere inside the input.
  const bool retired = !files_.empty() && files_.begin()->first > 1;
  size_t from = 0;
  if (retired) {
    from = all ? input.size() - std::min(input.size(), stored.size())
               : input.find(stored, settled > stored.size() ? settled - stored.size() : 0);
  }
  const size_t mismatch = from == std::string::npos ? 0 : from;
  if (from == std::string::npos || stored.size() > input.size() - from ||
      input.compare(from, stored.size(), stored) != 0) {
    size_t at = 0;
    while (at < stored.size() && mismatch + at < input.size() && stored[at] == input[mismatch + at])
      ++at;
    fail("stored input (" + std::to_string(stored.size()) +
         " bytes) is not a piece of the input (" + std::to_string(input.size()) +
         " bytes) from byte " + std::to_string(mismatch) +
         ": they part at stored byte " + std::to_string(at) + ", stored " + excerpt(stored, at) +
         ", input " + excerpt(input, mismatch + at));
    return;
  }
  if (from + stored.size() < settled)
    fail("records an earlier run stored are gone: stored input ends at input byte " +
         std::to_string(from + stored.size()) + ", earlier runs had stored " +
         std::to_string(settled));
  if (all && from + stored.size() != input.size())
    fail("input lost: stored input ends at byte " + std::to_string(from + stored.size()) +
         " of " + std::to_string(input.size()) + "; the next input bytes are " +
         excerpt(input, from + stored.size()));
}

void Checker::checkRecovered() {
  for (const auto& [number, file] : files_) {
    const std::string name = logName(number);
    if (file.log && file.archive) fail(name + " and " + name + ".gz both exist");
    if (file.log && number != current()) fail(name + " is not the current file but still a .log");
    if (file.archive && number == current()) fail(name + ".gz is the highest number: no current file");
    if (!file.archive) continue;
    const std::string path = dir_ + "/" + name + ".gz";
    if (gzipMemberCount(path) != 1) fail(name + ".gz is not exactly one whole gzip member");
    RunResult tested = run({"gzip", "-t", path});
    if (tested.status != 0) fail(name + ".gz fails gzip -t: " + tested.err);
  }
  const std::string link = dir_ + "/" + kLink;
  struct stat linkStat, target, currentStat;
  if (lstat(link.c_str(), &linkStat) != 0 || !S_ISLNK(linkStat.st_mode)) {
    fail(kLink + " is not a symbolic link");
  } else if (stat(link.c_str(), &target) != 0 ||
             stat((dir_ + "/" + logName(current())).c_str(), &currentStat) != 0 ||
             target.st_ino != currentStat.st_ino) {
    fail(kLink + " -> " + readLink(link) + " does not name the current file " +
         logName(current()));
  }
}

void Checker::checkRetention() {
  const uint64_t capacity = maxFileNum_ >= 2 ? maxFileNum_ - 1 : 1;
  std::string expected, found;
  // The newest numbers below the current file. A file once seen holding no
  // record may be gone: the next start removes it rather than archive it,
  // and it takes no place.
  std::vector<uint64_t> kept;
  for (uint64_t n = current() > 0 ? current() - 1 : 0; n >= 1 && kept.size() < capacity; --n)
    if (files_.count(n) != 0 || bare_.count(n) == 0) kept.insert(kept.begin(), n);
  for (uint64_t n : kept) expected += " " + std::to_string(n);
  for (const auto& [number, file] : files_)
    if (file.archive) found += " " + std::to_string(number);
  if (expected != found)
    fail("archives kept:" + found + "; with MAXFILENUM " + std::to_string(maxFileNum_) +
         " and current file " + std::to_string(current()) + " expected:" + expected);
}

// --- snapshots of a tree -------------------------------------------------

using Tree = std::map<std::string, std::string>;  // path -> type, mode, content

void describe(const std::string& path, const std::string& skip, Tree& tree) {
  if (path == skip) return;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  const std::string mode = std::to_string(st.st_mode & 07777) + " ";
  if (S_ISLNK(st.st_mode)) {
    tree[path] = "link -> " + readLink(path);
  } else if (S_ISREG(st.st_mode)) {
    tree[path] = "file " + mode + readFile(path);
  } else if (S_ISDIR(st.st_mode)) {
    tree[path] = "directory " + mode;
    for (const std::string& name : listDir(path)) describe(path + "/" + name, skip, tree);
  } else {
    tree[path] = "other " + mode;
  }
}

Tree treeOf(const std::string& root, const std::string& skip = "") {
  Tree tree;
  if (!root.empty()) describe(root, skip, tree);
  return tree;
}

// "" when equal, else the first few paths that differ.
std::string treeDifference(const Tree& before, const Tree& after) {
  std::vector<std::string> paths;
  for (const auto& [path, what] : before) {
    auto it = after.find(path);
    if (it == after.end()) paths.push_back(path + " (gone)");
    else if (it->second != what) paths.push_back(path + " (changed)");
  }
  for (const auto& [path, what] : after)
    if (before.count(path) == 0) paths.push_back(path + " (new)");
  std::string out;
  for (size_t i = 0; i < paths.size() && i < 5; ++i) out += " " + paths[i];
  return out;
}

}  // namespace

Oracle::Oracle(std::string dir, uint32_t maxFileNum, std::string watched)
    : dir_(std::move(dir)), maxFileNum_(maxFileNum), watched_(std::move(watched)) {
  snapshot();
}

void Oracle::snapshot() {
  outside_ = treeOf(watched_, dir_);
  inside_ = treeOf(dir_);
}

Verdict Oracle::check(unsigned promises, const std::string& input, size_t settled) const {
  Checker checker(dir_, maxFileNum_, promises, bare_);
  Verdict verdict;
  verdict.stored = checker.readAll();
  if (promises & (kPrefixOfInput | kAllOfInput)) checker.checkInput(verdict.stored, input, settled);
  if (promises & kRecovered) checker.checkRecovered();
  if (promises & kNewestArchivesKept) checker.checkRetention();
  if (promises & kOutsideUntouched) {
    const std::string changed = treeDifference(outside_, treeOf(watched_, dir_));
    if (!changed.empty()) checker.fail("changed outside the directory:" + changed);
  }
  if (promises & kDirectoryUntouched) {
    const std::string changed = treeDifference(inside_, treeOf(dir_));
    if (!changed.empty()) checker.fail("changed in the directory:" + changed);
  }
  verdict.failures = checker.report();
  return verdict;
}

}  // namespace zarvo::test

#include "tests/support/log_directory.h"

#include <sys/stat.h>

#include <chrono>
#include <exception>
#include <regex>
#include <thread>

#include "tests/support/files.h"

namespace zarvo::test {
namespace {

bool isLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

std::string logName(uint64_t n) { return "zarvo-access-" + std::to_string(n) + ".log"; }
std::string gzName(uint64_t n) { return logName(n) + ".gz"; }
const char kLinkName[] = "zarvo-access.log";

uint64_t LogDirectory::highest() const { return files.empty() ? 0 : files.rbegin()->first; }

uint64_t LogDirectory::caughtUpAt(const std::string& dir) const {
  const std::vector<uint64_t> numbers = logs();
  if (numbers.size() != 1 || numbers[0] != highest() || link != dir + "/" + logName(numbers[0]))
    return 0;
  return numbers[0];
}

std::vector<uint64_t> LogDirectory::logs() const {
  std::vector<uint64_t> numbers;
  for (const auto& [number, f] : files)
    if (f.log) numbers.push_back(number);
  return numbers;
}

LogDirectory listLogDirectory(const std::string& dir) {
  static const std::regex numbered(R"(zarvo-access-([1-9][0-9]*)\.log(\.gz)?)");
  LogDirectory state;
  for (const std::string& name : listDir(dir)) {
    std::smatch m;
    if (name == kLinkName && isLink(dir + "/" + name)) {
      state.link = readLink(dir + "/" + name);
    } else if (std::regex_match(name, m, numbered)) {
      LogDirectory::Numbered& f = state.files[std::stoull(m[1])];
      (m[2].matched ? f.archive : f.log) = true;
    } else {
      state.others.push_back(name);
    }
  }
  return state;
}

bool eventually(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      if (done()) return true;
    } catch (const std::exception&) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  try {
    return done();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace zarvo::test

#include "tests/support/log_file.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <utility>

#include "tests/support/files.h"

namespace zarvo::test {

std::string LogFile::body() const {
  std::string all;
  for (const std::string& chunk : chunks) all += chunk;
  return all;
}

const char kFormatText[] =
    "%START_TIME% %REQ(:METHOD)% %REQ(X-ZARVO-ORIGINAL-PATH?:PATH)% %PROTOCOL% "
    "%RESPONSE_CODE% %RESPONSE_CODE_DETAILS% %RESPONSE_FLAGS% %BYTES_RECEIVED% "
    "%BYTES_SENT% %DURATION% %RESP(X-ZARVO-UPSTREAM-SERVICE-TIME)% %RESPONSE_TX_DURATION% "
    "%DOWNSTREAM_REMOTE_ADDRESS% %DOWNSTREAM_LOCAL_ADDRESS% %UPSTREAM_LOCAL_ADDRESS% "
    "%UPSTREAM_HOST%\n";

LogFile parseLog(const std::string& bytes) {
  LogFile log;
  size_t first = bytes.find('\n');
  if (first == std::string::npos) throw std::runtime_error("no section line");
  log.sectionLine = bytes.substr(0, first + 1);
  const std::string format = kFormatText;
  size_t formatAt = bytes.find(format, first + 1);
  if (formatAt == std::string::npos) throw std::runtime_error("no format line");
  log.formatLine = bytes.substr(first + 1, formatAt + format.size() - first - 1);
  const size_t prefixLength = formatAt - first - 1;
  size_t pos = formatAt + format.size();
  while (pos < bytes.size()) {
    if (bytes.size() - pos < prefixLength) throw std::runtime_error("truncated prefix");
    log.prefixes.push_back(bytes.substr(pos, prefixLength));
    pos += prefixLength;
    size_t window = std::min<size_t>(2047, bytes.size() - pos);
    size_t newline = bytes.find('\n', pos);
    size_t size = newline != std::string::npos && newline < pos + window ? newline - pos + 1 : window;
    log.chunks.push_back(bytes.substr(pos, size));
    pos += size;
  }
  return log;
}

LogFile readLog(const std::string& path) { return parseLog(readFile(path)); }

std::string storedFile(const std::string& dir, int n) {
  const std::string log = dir + "/zarvo-access-" + std::to_string(n) + ".log";
  return exists(log) ? readFile(log) : gunzipFile(log + ".gz");
}

std::string storedInput(const std::string& dir) {
  // Per number, the ".log" wins: its archive may still be partial.
  std::map<long, std::string> files;
  for (const std::string& name : listDir(dir)) {
    const std::string head = "zarvo-access-";
    if (name.compare(0, head.size(), head) != 0) continue;
    std::string& chosen = files[std::atol(name.c_str() + head.size())];
    if (chosen.empty() || name.size() < chosen.size()) chosen = name;
  }
  std::string all;
  for (const auto& [number, name] : files) {
    const std::string path = dir + "/" + name;
    bool gz = name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0;
    all += parseLog(gz ? gunzipFile(path) : readFile(path)).body();
  }
  return all;
}

}  // namespace zarvo::test

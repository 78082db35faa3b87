#include "tests/support/log_file.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

#include "tests/support/chunk_rule.h"
#include "tests/support/files.h"
#include "tests/support/log_directory.h"

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
    const size_t size = chunkAt(bytes, pos);
    log.chunks.push_back(bytes.substr(pos, size));
    pos += size;
  }
  return log;
}

LogFile readLog(const std::string& path) { return parseLog(readFile(path)); }

bool prefixMatches(const std::string& prefix, const std::string& reference) {
  if (prefix.size() > reference.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const bool digits = i < 24 && std::isdigit(static_cast<unsigned char>(prefix[i])) &&
                        std::isdigit(static_cast<unsigned char>(reference[i]));
    if (prefix[i] != reference[i] && !digits) return false;
  }
  return true;
}

std::string storedFile(const std::string& dir, uint64_t n) {
  const std::string log = dir + "/" + logName(n);
  return exists(log) ? readFile(log) : gunzipFile(log + ".gz");
}

void expectRotation(const std::string& dir, uint64_t maxFileSize,
                    const std::vector<uint64_t>& lastOfRun) {
  for (const auto& [number, file] : listLogDirectory(dir).files) {
    SCOPED_TRACE(logName(number) + ", MAXFILESIZE " + std::to_string(maxFileSize));
    const LogFile log = parseLog(storedFile(dir, number));
    const uint64_t header = log.sectionLine.size() + log.formatLine.size();
    uint64_t size = header;
    for (size_t i = 0; i < log.chunks.size(); ++i) {
      EXPECT_TRUE(i == 0 || size <= maxFileSize) << "record " << i + 1 << " follows the limit";
      size += log.prefixes[i].size() + log.chunks[i].size();
    }
    if (std::find(lastOfRun.begin(), lastOfRun.end(), number) == lastOfRun.end()) {
      EXPECT_FALSE(log.chunks.empty()) << "rotated without a record";
      EXPECT_GT(size, maxFileSize) << "rotated before the limit";
    } else {
      EXPECT_LE(size, std::max(maxFileSize, header)) << "the last file of a run is past the limit";
    }
  }
}

std::string storedInput(const std::string& dir) {
  // Per number, the ".log" wins: its archive may still be partial.
  std::string all;
  for (const auto& [number, file] : listLogDirectory(dir).files) {
    const std::string path = dir + "/" + logName(number);
    all += parseLog(file.log ? readFile(path) : gunzipFile(path + ".gz")).body();
  }
  return all;
}

}  // namespace zarvo::test

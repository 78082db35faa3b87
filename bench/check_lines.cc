// Checks that a log tool's output gives back its input:
//   check_lines INPUT FORMAT FILE...
// FILE... are read in the order given, gzip or plain alike (zlib reads both),
// and the lines recovered from them are compared with INPUT.
// FORMAT:
//   records  our files: two header lines, then records, each behind a prefix
//            as long as header line 2 less its 329-byte format text (newline
//            included); a record holds up to 2047 bytes and ends at the first
//            newline, so a longer line comes back from several records.
//   N        a peer's files: each line loses its first N bytes (the peer's
//            timestamp); 0 takes the files as they are.
// Prints one line: "identical, L lines" (and R records for our files) or what differs (input lines kept
// intact, as a multiset, and output lines found nowhere in the input).
// Exit status 0 when identical, 1 when not, 2 on a usage or read error.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kFormatTextWithNewline = 329;
constexpr size_t kMaxRecord = 2047;
constexpr size_t kTimeDigits = 24;  // 2026-12-08T07:26:31.045Z

long recordCount = 0;

bool readWhole(const char* path, std::string& out) {
  gzFile in = gzopen(path, "rb");
  if (in == nullptr) return false;
  gzbuffer(in, 1 << 17);
  char buffer[1 << 16];
  for (;;) {
    int n = gzread(in, buffer, sizeof buffer);
    if (n < 0) {
      gzclose(in);
      return false;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return gzclose(in) == Z_OK;
}

size_t lineEnd(const std::string& s, size_t from) {
  size_t nl = s.find('\n', from);
  return nl == std::string::npos ? s.size() : nl + 1;
}

// Appends the records of one of our files to `out`; false if malformed.
bool recoverRecords(const std::string& file, const char* path, std::string& out) {
  size_t line2 = lineEnd(file, 0);
  size_t body = lineEnd(file, line2);
  if (body - line2 <= kFormatTextWithNewline) {
    std::fprintf(stderr, "check_lines: %s: header line 2 too short\n", path);
    return false;
  }
  const size_t prefix = body - line2 - kFormatTextWithNewline;
  // Every record repeats header line 2's prefix but for the time digits.
  const std::string_view fixed(file.data() + line2 + kTimeDigits, prefix - kTimeDigits);
  for (size_t at = body; at < file.size();) {
    if (file.size() - at < prefix ||
        std::string_view(file.data() + at + kTimeDigits, prefix - kTimeDigits) != fixed) {
      std::fprintf(stderr, "check_lines: %s: no record prefix at byte %zu\n", path, at);
      return false;
    }
    at += prefix;
    size_t window = std::min(kMaxRecord, file.size() - at);
    const void* nl = std::memchr(file.data() + at, '\n', window);
    size_t size = nl ? static_cast<const char*>(nl) - (file.data() + at) + 1 : window;
    out.append(file, at, size);
    at += size;
    ++recordCount;
  }
  return true;
}

void stripEachLine(const std::string& file, size_t n, std::string& out) {
  for (size_t at = 0; at < file.size();) {
    size_t end = lineEnd(file, at);
    if (end - at > n) out.append(file, at + n, end - at - n);
    at = end;
  }
}

std::vector<std::string_view> splitLines(const std::string& s) {
  std::vector<std::string_view> lines;
  for (size_t at = 0; at < s.size();) {
    size_t end = lineEnd(s, at);
    lines.emplace_back(s.data() + at, end - at);
    at = end;
  }
  return lines;
}

void reportDifference(const std::string& input, const std::string& output) {
  std::vector<std::string_view> in = splitLines(input), out = splitLines(output);
  std::unordered_map<std::string_view, long> wanted;
  for (auto line : in) ++wanted[line];
  long kept = 0, foreign = 0;
  for (auto line : out) {
    auto it = wanted.find(line);
    if (it != wanted.end() && it->second > 0) {
      --it->second;
      ++kept;
    } else {
      ++foreign;
    }
  }
  std::printf("differs: %ld of %zu input lines kept intact, %ld output lines not in the input\n",
              kept, in.size(), foreign);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: check_lines INPUT records|N FILE...\n");
    return 2;
  }
  const bool records = std::strcmp(argv[2], "records") == 0;
  const size_t strip = records ? 0 : std::strtoul(argv[2], nullptr, 10);
  std::string input, output, file;
  if (!readWhole(argv[1], input)) {
    std::fprintf(stderr, "check_lines: cannot read %s\n", argv[1]);
    return 2;
  }
  for (int i = 3; i < argc; ++i) {
    file.clear();
    if (!readWhole(argv[i], file)) {
      std::fprintf(stderr, "check_lines: cannot read %s\n", argv[i]);
      return 2;
    }
    if (records) {
      if (!recoverRecords(file, argv[i], output)) return 1;
    } else if (strip == 0) {
      output += file;
    } else {
      stripEachLine(file, strip, output);
    }
  }
  if (output == input) {
    std::printf("identical, %zu lines", splitLines(input).size());
    if (records) std::printf(", %ld records", recordCount);
    std::printf("\n");
    return 0;
  }
  reportDifference(input, output);
  return 1;
}

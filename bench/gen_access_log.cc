// Prints a deterministic stream of realistic proxy access-log lines:
//   gen_access_log BYTES [SEED]
// Lines follow the header's field layout and run 150 to 400 bytes; about one
// in 5000 is over 2047 bytes and one in 2000 carries odd bytes (a tab, a NUL,
// bytes above 0x7f), as real logs do.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// xorshift64*: fast, and the same stream on every machine.
struct Random {
  uint64_t state;
  uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 2685821657736338717ull;
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

const char* const kMethods[] = {"GET", "GET", "GET", "GET", "POST", "PUT", "DELETE", "HEAD"};
const char* const kPaths[] = {"/api/v1/users", "/api/v1/orders", "/api/v2/catalog/items",
                              "/static/js/app.bundle.js", "/healthz", "/login", "/search",
                              "/images/products/thumbnail.webp"};
const char* const kCodes[] = {"200", "200", "200", "200", "200", "201", "204", "301",
                              "304", "400", "401", "404", "500", "503"};
const char* const kDetails[] = {"via_upstream", "via_upstream", "via_upstream",
                                "upstream_reset_before_response_started{connection_termination}",
                                "route_not_found", "downstream_remote_disconnect"};
const char* const kFlags[] = {"-", "-", "-", "-", "UF", "NR", "DC", "URX"};

void appendLine(Random& r, uint64_t index, std::string& line) {
  char buf[1024];
  uint64_t ms = 1796714791000ull + index * 3;
  int n = std::snprintf(
      buf, sizeof buf,
      "[2026-12-08T%02u:%02u:%02u.%03uZ] \"%s %s?session=%016llx&page=%u HTTP/1.1\" %s %s %s "
      "%u %u %u %u %s:%u 10.0.0.5:8443 10.1.%u.%u:%u 10.2.%u.%u:8080 \"%s\"",
      static_cast<unsigned>(ms / 3600000 % 24), static_cast<unsigned>(ms / 60000 % 60),
      static_cast<unsigned>(ms / 1000 % 60), static_cast<unsigned>(ms % 1000),
      kMethods[r.below(8)], kPaths[r.below(8)], static_cast<unsigned long long>(r.next()),
      r.below(500), kCodes[r.below(14)], kDetails[r.below(6)], kFlags[r.below(8)],
      r.below(20000), r.below(900000), r.below(3000), r.below(3000),
      r.below(2) ? "203.0.113.7" : "198.51.100.23", 1024 + r.below(60000), r.below(256),
      r.below(256), 1024 + r.below(60000), r.below(8), r.below(256),
      r.below(3) ? "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/131.0" : "curl/8.5.0");
  line.assign(buf, static_cast<size_t>(n));
  // Spread lengths over 150..400 bytes with a trailing request id.
  size_t target = 150 + r.below(251);
  while (line.size() < target) line.push_back("abcdefghijklmnopqrstuvwxyz0123456789"[r.below(36)]);
  if (line.size() > target) line.resize(target);
  if (r.below(5000) == 0) line.append(2100 + r.below(3000), 'L');
  if (r.below(2000) == 0) {
    line[40] = '\t';
    line[41] = '\0';
    line[42] = static_cast<char>(0xe9);
  }
  line.push_back('\n');
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gen_access_log BYTES [SEED]\n");
    return 2;
  }
  uint64_t bytes = std::strtoull(argv[1], nullptr, 10);
  Random r{argc > 2 ? std::strtoull(argv[2], nullptr, 10) | 1 : 88172645463325252ull};
  std::string line;
  static char out[1 << 16];
  std::setvbuf(stdout, out, _IOFBF, sizeof out);
  for (uint64_t written = 0, i = 0; written < bytes; ++i) {
    appendLine(r, i, line);
    std::fwrite(line.data(), 1, line.size(), stdout);
    written += line.size();
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

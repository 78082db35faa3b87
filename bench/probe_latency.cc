// Times each access-log line from the proxy's write to its arrival in a log
// file, from outside the writer:
//   probe_latency DIRECTORY GLOB RESULT_FILE
// Watches DIRECTORY with inotify and reads every file whose name matches GLOB
// (fnmatch) as it grows, from its creation on; start it before the writer.
// Each line read carries the proxy's own time as its first field of the form
// 1765300000.123 (nginx's $msec: seconds with milliseconds); the latency of a
// line is the realtime clock read right after the read(2) that brought it,
// less that field. An upper bound of the true latency: $msec is truncated to
// the millisecond and is nginx's cached time of the event-loop iteration, at
// or before its write; the clock is read after the bytes were seen, at or
// after they reached the operating system.
// Prints "watching" once the watch is in place. Runs until TERM or INT, then reads what is left and appends one line to
// RESULT_FILE: "lines p50_ms p90_ms p99_ms p999_ms max_ms". Lines without the
// field (our files' header lines) are not counted.
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stopping = 0;

struct Follower {
  int fd = -1;
  std::string partial;  // a line still waiting for its newline
};

std::vector<double> latencies;

double nowMs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The first token of the form DDDDDDDDDD.DDD, in milliseconds; < 0 if none.
double proxyTimeMs(const char* line, size_t size) {
  for (size_t p = 10; p + 4 < size; ++p) {
    if (line[p] != '.' || (p > 10 && line[p - 11] != ' ')) continue;
    if (!std::all_of(line + p - 10, line + p, isDigit)) continue;
    if (!std::all_of(line + p + 1, line + p + 4, isDigit)) continue;
    if (line[p + 4] != ' ') continue;
    double seconds = 0;
    for (size_t i = p - 10; i < p; ++i) seconds = seconds * 10 + (line[i] - '0');
    return seconds * 1e3 + (line[p + 1] - '0') * 100 + (line[p + 2] - '0') * 10 + (line[p + 3] - '0');
  }
  return -1;
}

void takeLines(Follower& f, const char* data, size_t size, double seenMs) {
  f.partial.append(data, size);
  size_t begin = 0;
  for (size_t nl; (nl = f.partial.find('\n', begin)) != std::string::npos; begin = nl + 1) {
    double sent = proxyTimeMs(f.partial.data() + begin, nl - begin);
    if (sent >= 0) latencies.push_back(seenMs - sent);
  }
  f.partial.erase(0, begin);
}

void drain(Follower& f) {
  static char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(f.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    takeLines(f, buffer, static_cast<size_t>(n), nowMs());
  }
}

double quantile(double q) {
  if (latencies.empty()) return -1;
  size_t i = static_cast<size_t>(q * static_cast<double>(latencies.size() - 1) + 0.5);
  std::nth_element(latencies.begin(), latencies.begin() + static_cast<long>(i), latencies.end());
  return latencies[i];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: probe_latency DIRECTORY GLOB RESULT_FILE\n");
    return 2;
  }
  const std::string dir = argv[1];
  const char* glob = argv[2];
  struct sigaction stop {};
  stop.sa_handler = [](int) { stopping = 1; };
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MODIFY) < 0) {
    std::fprintf(stderr, "probe_latency: %s: %s\n", dir.c_str(), std::strerror(errno));
    return 2;
  }
  // The caller starts the writer once this line is out.
  std::puts("watching");
  std::fflush(stdout);
  latencies.reserve(1 << 20);
  std::map<std::string, Follower> files;
  alignas(inotify_event) char events[1 << 14];
  while (!stopping) {
    pollfd p{watch, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->len == 0 || fnmatch(glob, e->name, 0) != 0) continue;
      Follower& f = files[e->name];
      // Opened by the first event; the descriptor keeps an archived and
      // removed file readable to its end.
      if (f.fd < 0) f.fd = open((dir + "/" + e->name).c_str(), O_RDONLY | O_CLOEXEC);
      if (f.fd >= 0) drain(f);
    }
  }
  for (auto& [name, f] : files)
    if (f.fd >= 0) drain(f);
  std::FILE* out = std::fopen(argv[3], "a");
  if (out == nullptr) return 2;
  std::fprintf(out, "%zu %.3f %.3f %.3f %.3f %.3f\n", latencies.size(), quantile(0.5), quantile(0.9),
               quantile(0.99), quantile(0.999), quantile(1.0));
  std::fclose(out);
  return 0;
}

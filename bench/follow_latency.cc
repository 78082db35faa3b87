// Time from a line reaching the writer's input to the same line coming out
// of a follower:
//   follow_latency WRITER READER DIRECTORY MAXFILESIZE ROUNDS
// Runs the writer on DIRECTORY (which must be empty) with its input on a
// pipe, and `READER -f --raw DIRECTORY` with its output on another. Each
// round waits 1-20 ms (so both are idle), writes one line and reads until
// it is back. Prints the median, 99th percentile and maximum in ms. With a
// small MAXFILESIZE most lines cross a rotation.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Starts argv with stdin from `in` and stdout to `out` (-1 keeps ours).
pid_t start(std::vector<const char*> argv, int in, int out) {
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (in >= 0) dup2(in, 0);
    if (out >= 0) dup2(out, 1);
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: follow_latency WRITER READER DIRECTORY MAXFILESIZE ROUNDS\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  int toWriter[2], fromReader[2];
  if (pipe2(toWriter, O_CLOEXEC) != 0 || pipe2(fromReader, O_CLOEXEC) != 0) return 1;
  pid_t reader = start({argv[2], "-f", "--raw", argv[3]}, -1, fromReader[1]);
  pid_t writer = start({argv[1], argv[3], "1000000", argv[4]}, toWriter[0], -1);
  close(toWriter[0]);
  close(fromReader[1]);
  const int rounds = std::atoi(argv[5]);
  std::vector<double> delays;
  std::string pending;
  srand(1);
  for (int i = 0; i < rounds; ++i) {
    timespec pause{0, (1 + rand() % 20) * 1000000L};
    nanosleep(&pause, nullptr);
    const std::string line = "round " + std::to_string(i) + " GET /api/v1/users 200\n";
    const double sent = now();
    if (write(toWriter[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
    while (pending.find(line) == std::string::npos) {
      char buffer[4096];
      ssize_t n = read(fromReader[0], buffer, sizeof buffer);
      if (n <= 0) return 1;
      pending.append(buffer, static_cast<size_t>(n));
    }
    delays.push_back((now() - sent) * 1000);
    pending.clear();
  }
  close(toWriter[1]);
  waitpid(writer, nullptr, 0);
  kill(reader, SIGTERM);
  waitpid(reader, nullptr, 0);
  std::sort(delays.begin(), delays.end());
  std::printf("%d lines, MAXFILESIZE %s: median %.3f ms, p99 %.3f ms, max %.3f ms\n", rounds,
              argv[4], delays[delays.size() / 2], delays[delays.size() * 99 / 100], delays.back());
  return 0;
}

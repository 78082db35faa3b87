// Times one command the way the benchmark needs it:
//   run_timed RESULT_FILE COMMAND [ARG...]
// COMMAND inherits standard input, output and error, so the caller's shell
// redirections apply to it. When it ends, one line is appended to RESULT_FILE:
//   wall_seconds user_seconds sys_seconds peak_rss_kib exit_status end_seconds
// end_seconds is the monotonic clock when COMMAND ended, to time a command
// from a later start (see feed_hold --stamp).
// Wall time comes from the monotonic clock (a shell's `time` or
// /usr/bin/time rounds to 10 ms, too coarse for the copy floor); CPU and peak
// RSS come from wait4, so they include the children COMMAND waited for (a
// log tool's gzip processors). The exit status of COMMAND is returned.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: run_timed RESULT_FILE COMMAND [ARG...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "run_timed: fork: %s\n", std::strerror(errno));
    return 2;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "run_timed: %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "run_timed: wait4: %s\n", std::strerror(errno));
      return 2;
    }
  }
  const auto end = std::chrono::steady_clock::now();
  const double wall = std::chrono::duration<double>(end - start).count();
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::FILE* out = std::fopen(argv[1], "a");
  if (out == nullptr) {
    std::fprintf(stderr, "run_timed: %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  std::fprintf(out, "%.6f %.6f %.6f %ld %d %.6f\n", wall, seconds(usage.ru_utime),
               seconds(usage.ru_stime), usage.ru_maxrss, code,
               std::chrono::duration<double>(end.time_since_epoch()).count());
  std::fclose(out);
  return code;
}

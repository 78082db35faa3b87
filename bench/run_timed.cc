// Times one command the way the benchmark needs it:
//   run_timed RESULT_FILE COMMAND [ARG...]
// COMMAND inherits standard input, output and error. When it ends, one line
// is appended to RESULT_FILE:
//   wall_seconds user_seconds sys_seconds peak_rss_kib exit_status
// Wall time from the monotonic clock (a shell's `time` or /usr/bin/time
// rounds to 10 ms, too coarse for the copy floor); CPU and peak RSS from
// wait4, so they include the children COMMAND waited for (a log tool's gzip
// processors). Returns the exit status of COMMAND.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: run_timed RESULT_FILE COMMAND [ARG...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  rusage use{};
  while (child > 0 && wait4(child, &status, 0, &use) < 0 && errno == EINTR) {
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  const int code = child < 0 ? 2 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::FILE* out = std::fopen(argv[1], "a");
  if (out == nullptr) return 2;
  std::fprintf(out, "%.6f %.6f %.6f %ld %d\n", wall, seconds(use.ru_utime), seconds(use.ru_stime),
               use.ru_maxrss, code);
  return std::fclose(out) == 0 ? code : 2;
}

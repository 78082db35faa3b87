#include "tests/support/forked_child.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zarvo::test {

namespace {

constexpr uid_t kNobody = 65534;

std::string readAll(int fd) {
  std::string text;
  char buf[512];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

ChildReport runInChild(const std::function<int(std::string& note)>& body) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    close(fds[0]);
    std::string note;
    const int status = body(note);
    if (write(fds[1], note.data(), note.size()) < 0) {
      // The parent only loses the note; the status still tells.
    }
    // _exit: the child must not run the test program's exit handlers or
    // flush the stdio buffers it inherited.
    _exit(status);
  }
  close(fds[1]);
  ChildReport report{-1, readAll(fds[0])};
  close(fds[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  report.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return report;
}

std::string becomeNobody() {
  if (setgroups(0, nullptr) != 0) return std::string("setgroups: ") + std::strerror(errno);
  if (setresgid(kNobody, kNobody, kNobody) != 0)
    return std::string("setresgid: ") + std::strerror(errno);
  if (setresuid(kNobody, kNobody, kNobody) != 0)
    return std::string("setresuid: ") + std::strerror(errno);
  return "";
}

}  // namespace zarvo::test

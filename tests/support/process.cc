#include "tests/support/process.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/forked_child.h"
#include "tests/support/log_directory.h"
#include "tests/support/temp_dir.h"

namespace zarvo::test {
namespace {

// unprivileged() puts this before the argv it wraps.
const char kAsNobody[] = "--zarvo-test-as-nobody";

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::string& cwd) {
  // A child that exits early must not kill the test through SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/zarvo-stderr-XXXXXX";
  int err = mkstemp(pattern);
  if (err < 0) throw std::runtime_error("mkstemp");
  stderrPath_ = pattern;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const bool asNobody = !argv.empty() && argv[0] == kAsNobody;
  std::vector<char*> args;
  for (size_t i = asNobody ? 1 : 0; i < argv.size(); ++i)
    args.push_back(const_cast<char*>(argv[i].c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    dup2(pipeFds[0], 0);
    dup2(err, 2);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (asNobody && !becomeNobody().empty()) _exit(126);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(err);
  close(pipeFds[0]);
  input_ = pipeFds[1];
}

Child::~Child() {
  if (input_ >= 0) close(input_);
  if (status_ < 0 && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  unlink(stderrPath_.c_str());
}

bool Child::write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Child::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

void Child::signal(int sig) { kill(pid_, sig); }

size_t Child::unreadInput() const {
  int bytes = 0;
  if (ioctl(input_, FIONREAD, &bytes) != 0) throw std::runtime_error("FIONREAD");
  return static_cast<size_t>(bytes);
}

bool Child::signalPending(int sig) const {
  // ShdPnd: signals sent to the process and not yet taken by any thread.
  std::istringstream status(readFile("/proc/" + std::to_string(pid_) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 7, "ShdPnd:") == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
  }
  throw std::runtime_error("no ShdPnd in /proc/" + std::to_string(pid_) + "/status");
}

bool Child::endsWithin(double timeoutSeconds) {
  if (status_ >= 0) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int Child::wait(double timeoutSeconds) {
  if (!endsWithin(timeoutSeconds)) {
    ADD_FAILURE() << "child " << pid_ << " still running after " << timeoutSeconds << " s";
    kill(pid_, SIGKILL);
    endsWithin(10);
  }
  return status_;
}

std::string Child::stderrText() const { return readFile(stderrPath_); }

RunResult run(const std::vector<std::string>& argv, const std::string& input,
              double timeoutSeconds, const std::string& cwd) {
  Child child(argv, cwd);
  child.write(input);
  child.closeInput();
  int status = child.wait(timeoutSeconds);
  return {status, child.stderrText()};
}

RunResult runUntil(const std::vector<std::string>& argv, const std::string& input,
                   const std::function<bool(const Child&)>& done) {
  Child child(argv);
  child.write(input);
  bool reached = eventually([&] { return done(child); });
  child.closeInput();
  int status = child.wait();
  EXPECT_TRUE(reached) << "the directory never reached the expected state";
  return {status, child.stderrText()};
}

std::string earlierLog(const std::string& input) {
  TempDir scratch;
  EXPECT_EQ(run(writer({scratch.path().string(), "3", "100000000"}), input).status, 0);
  return readFile(scratch / logName(1));
}

std::vector<std::string> stdinFrom(const std::string& path, const std::vector<std::string>& argv) {
  std::vector<std::string> out{"/bin/sh", "-c", "f=$1; shift; exec \"$@\" <\"$f\"", "sh", path};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

std::vector<std::string> writer(const std::vector<std::string>& args) {
  std::vector<std::string> argv{ZARVO_WRITER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> unprivileged(const std::vector<std::string>& argv) {
  std::vector<std::string> out{kAsNobody};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

std::string withoutLevelLine(const std::string& err) {
  const std::string line = "Archive thread behind the input: compressing at level 1\n";
  std::string rest = err;
  for (size_t at; (at = rest.find(line)) != std::string::npos;) rest.erase(at, line.size());
  return rest;
}

bool haveCommand(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string whyNoUnprivileged() {
  if (geteuid() != 0) {
    // Not root: permission checks already apply to us, but we cannot switch user.
    return "tests run unprivileged already; switching user needs root";
  }
  const ChildReport report = runInChild([](std::string& note) {
    note = becomeNobody();
    return note.empty() ? 0 : 1;
  });
  return report.status == 0 ? "" : "cannot switch to uid 65534: " + report.note;
}

std::string whyNoStrace() {
  if (!haveCommand("strace")) return "strace is not installed";
  RunResult probe = run({"strace", "-f", "-qq", "--seccomp-bpf", "-o", "/dev/null", "true"});
  return probe.status == 0 ? "" : "strace cannot trace here: " + probe.err;
}

std::vector<std::string> traced(const std::string& traceLog,
                                const std::vector<std::string>& options,
                                const std::vector<std::string>& argv) {
  std::vector<std::string> out{"strace", "-f", "-qq", "-o", traceLog};
  out.insert(out.end(), options.begin(), options.end());
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

}  // namespace zarvo::test

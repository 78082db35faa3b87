#pragma once
// Child processes for end-to-end tests: the real writer binary (or any
// command) with its standard input on a pipe we hold and its standard error
// captured in a file, so a test can check the exact bytes it printed.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace zarvo::test {

class Child {
 public:
  // cwd: the child's working directory; empty keeps ours.
  explicit Child(const std::vector<std::string>& argv, const std::string& cwd = "");
  ~Child();  // kills and reaps a child still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Writes to the child's standard input; false once the child stopped reading.
  bool write(const std::string& bytes);
  void closeInput();
  void signal(int sig);
  // Bytes written to the child's standard input that it has not read yet.
  size_t unreadInput() const;
  // True while `sig`, sent to the process, waits for the child to take it.
  bool signalPending(int sig) const;
  // Exit status, or 128 + signal number; kills the child and fails the test
  // after timeoutSeconds.
  int wait(double timeoutSeconds = 60);
  // True when the child has ended within timeoutSeconds (status then in wait()).
  bool endsWithin(double timeoutSeconds);
  std::string stderrText() const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int status_ = -1;
  std::string stderrPath_;
};

struct RunResult {
  int status;
  std::string err;
};

// Runs argv with `input` on its standard input and waits for it.
RunResult run(const std::vector<std::string>& argv, const std::string& input = "",
              double timeoutSeconds = 60, const std::string& cwd = "");

// As run(), with the input held open until `done` holds (polled as
// eventually() does) so that background work can catch up; fails the test
// when it never does.
RunResult runUntil(const std::vector<std::string>& argv, const std::string& input,
                   const std::function<bool(const Child&)>& done);

// The complete log file a faultless run of the writer leaves for `input`
// (one file: no rotation), as an earlier run's leftover.
std::string earlierLog(const std::string& input);

// argv with its standard input read from the file at `path`.
std::vector<std::string> stdinFrom(const std::string& path, const std::vector<std::string>& argv);

// {writer binary, args...}
std::vector<std::string> writer(const std::vector<std::string>& args);
// argv run as uid/gid 65534 with no supplementary groups: Child drops to
// them through becomeNobody() before it starts the program, so this must be
// the outermost wrapper of the argv given to Child, run or runUntil.
std::vector<std::string> unprivileged(const std::vector<std::string>& argv);
// Empty when the machine can run unprivileged children, else why not.
std::string whyNoUnprivileged();
// Empty when strace can trace children here, else why not.
std::string whyNoStrace();
// argv run under `strace -f -qq -o traceLog options...`: the trace goes to
// the file, never into the child's standard error.
std::vector<std::string> traced(const std::string& traceLog,
                                const std::vector<std::string>& options,
                                const std::vector<std::string>& argv);
// True when `command -v name` succeeds.
bool haveCommand(const std::string& name);
// The writer's standard error without the lines that say the archive
// thread fell behind and compresses faster: a burst may or may not do that,
// once in every run of the writer.
std::string withoutLevelLine(const std::string& err);

}  // namespace zarvo::test

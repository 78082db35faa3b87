#pragma once
// Checks that must run in a process of their own (another uid, another
// mount namespace): a forked copy of the test runs a body and reports
// through its exit status, with a line of text beside it.
#include <functional>
#include <string>

namespace zarvo::test {

// Exit status a body returns when the machine does not allow the check.
constexpr int kChildCannotRun = 77;

struct ChildReport {
  int status;        // the body's result, or 128 + signal number
  std::string note;  // what the body put in its note
};

// Runs body in a forked child and waits for it. The body must not use
// GoogleTest assertions; it describes a failure (or why it cannot run) in
// note and returns non-zero.
ChildReport runInChild(const std::function<int(std::string& note)>& body);

// In a child: drops to uid and gid 65534 with no supplementary groups, the
// one way every test becomes unprivileged (unprivileged() in process.h too).
// Empty on success, else why not.
std::string becomeNobody();

}  // namespace zarvo::test

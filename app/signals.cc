#include "app/signals.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace zarvo {
namespace {

volatile std::sig_atomic_t stopFlag = 0;
volatile std::sig_atomic_t rotateFlag = 0;
sigset_t waitMask;  // the mask in force while waiting for input

void onStop(int) { stopFlag = 1; }
void onRotate(int) { rotateFlag = 1; }

void handle(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

}  // namespace

void installSignalHandling() {
  sigset_t ours;
  sigemptyset(&ours);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGALRM}) sigaddset(&ours, sig);
  pthread_sigmask(SIG_BLOCK, &ours, &waitMask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    handle(sig, onStop);
    sigdelset(&waitMask, sig);
  }
  handle(SIGALRM, onRotate);
  sigdelset(&waitMask, SIGALRM);
}

namespace {

// ppoll runs a handler only when the signal interrupts it; when input is
// ready at once it puts the old mask back with the signal still pending. So
// with input that never runs dry, a request would wait for good.
bool deliverPending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  bool any = false;
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGALRM}) any = any || sigismember(&pending, sig) == 1;
  if (!any) return false;
  sigset_t ours;
  pthread_sigmask(SIG_SETMASK, &waitMask, &ours);
  pthread_sigmask(SIG_SETMASK, &ours, nullptr);
  return true;
}

}  // namespace

bool waitReadable(int fd) {
  pollfd input{fd, POLLIN, 0};
  // Any other failure is left for the read to report.
  if (ppoll(&input, 1, nullptr, &waitMask) < 0) return errno != EINTR;
  return !deliverPending();
}

bool stopRequested() { return stopFlag != 0; }

bool takeRotateRequest() {
  if (rotateFlag == 0) return false;
  rotateFlag = 0;
  return true;
}

}  // namespace zarvo

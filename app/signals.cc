#include "app/signals.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace zarvo {
namespace {

constexpr int kOurSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGUSR1};

volatile std::sig_atomic_t stopFlag = 0;
volatile std::sig_atomic_t rotateFlag = 0;
sigset_t ourSignals;
sigset_t waitMask;  // the mask in force while waiting for input

void record(int sig) {
  if (sig == SIGALRM || sig == SIGUSR1) {
    rotateFlag = 1;
  } else {
    stopFlag = 1;
  }
}

void handle(int sig) {
  struct sigaction action {};
  action.sa_handler = record;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

// ppoll runs a handler only when the signal interrupts it; when input is
// ready at once it puts the old mask back with the signal still pending. So
// with input that never runs dry, a request would wait for good: what is
// still pending is taken here, synchronously, without running a handler.
bool takePending() {
  const timespec now{0, 0};
  bool any = false;
  for (int sig; (sig = sigtimedwait(&ourSignals, nullptr, &now)) > 0;) {
    record(sig);
    any = true;
  }
  return any;
}

}  // namespace

void installSignalHandling() {
  // Even the usage message may meet a closed pipe: that is status 1, not a
  // death by signal.
  signal(SIGPIPE, SIG_IGN);
  sigemptyset(&ourSignals);
  for (int sig : kOurSignals) sigaddset(&ourSignals, sig);
  pthread_sigmask(SIG_BLOCK, &ourSignals, &waitMask);
  for (int sig : kOurSignals) {
    handle(sig);
    sigdelset(&waitMask, sig);
  }
}

bool waitReadable(int fd, long nanoseconds) {
  pollfd input{fd, POLLIN, 0};
  const timespec limit{0, nanoseconds};
  const int ready = ppoll(&input, 1, nanoseconds < 0 ? nullptr : &limit, &waitMask);
  // Any other failure is left for the read to report.
  if (ready < 0) return errno != EINTR;
  return ready > 0 && !takePending();
}

bool pauseUnlessSignalled(long nanoseconds) {
  const timespec pause{0, nanoseconds};
  return ppoll(nullptr, 0, &pause, &waitMask) == 0;
}

bool stopRequested() { return stopFlag != 0; }

bool stopPending() {
  if (stopFlag == 0) takePending();
  return stopFlag != 0;
}

bool takeRotateRequest() {
  if (rotateFlag == 0) return false;
  rotateFlag = 0;
  return true;
}

}  // namespace zarvo

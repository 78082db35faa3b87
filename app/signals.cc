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

bool waitReadable(int fd) {
  pollfd input{fd, POLLIN, 0};
  // Any other failure is left for the read to report.
  return ppoll(&input, 1, nullptr, &waitMask) >= 0 || errno != EINTR;
}

bool stopRequested() { return stopFlag != 0; }

bool takeRotateRequest() {
  if (rotateFlag == 0) return false;
  rotateFlag = 0;
  return true;
}

}  // namespace zarvo

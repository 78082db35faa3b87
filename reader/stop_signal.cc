#include "reader/stop_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "filestore/messages.h"

namespace zarvo {
namespace {

volatile std::sig_atomic_t stopFlag = 0;
volatile std::sig_atomic_t inWrite = 0;
volatile std::sig_atomic_t stopStatus = 0;
int wakeUp[2] = {-1, -1};

void onStop(int) {
  stopFlag = 1;
  if (inWrite) _exit(stopStatus);
  const int saved = errno;
  [[maybe_unused]] ssize_t ignored = write(wakeUp[1], "s", 1);
  errno = saved;
}

}  // namespace

void installStopHandler() {
  if (pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
    fatalLine("Cannot wait for signals: " + errorText(errno));
  struct sigaction action {};
  action.sa_handler = onStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocked poll returns at once.
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

bool stopRequested() { return stopFlag != 0; }
int stopDescriptor() { return wakeUp[0]; }
void setStopStatus(int status) { stopStatus = status; }

BlockingWrite::BlockingWrite() { inWrite = 1; }
BlockingWrite::~BlockingWrite() { inWrite = 0; }
bool BlockingWrite::stopped() const { return stopFlag != 0; }

}  // namespace zarvo

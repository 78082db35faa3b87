#include "app/flush_thread.h"

#include <cerrno>
#include <ctime>
#include <mutex>

#include "app/current_file.h"

namespace zarvo {
namespace {

void sleepFiveSeconds() {
  timespec left{5, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

void runFlushThread(CurrentFile& file) {
  for (;;) {
    sleepFiveSeconds();
    std::lock_guard<std::mutex> lock(file.mutex);
    if (file.fd >= 0 && file.unflushed()) flushIfRoom(file);
  }
}

}  // namespace zarvo

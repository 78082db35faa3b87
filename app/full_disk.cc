#include "app/full_disk.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <future>
#include <string>

#include "app/current_file.h"
#include "app/signals.h"
#include "filestore/file_store_service.h"
#include "filestore/messages.h"

namespace zarvo {
namespace {

using Clock = std::chrono::steady_clock;

// Sleeps until `until` unless a stop arrives first (a rotation request only
// waits for the record loop); false on a stop.
bool sleepUnlessStopped(Clock::time_point until) {
  for (Clock::time_point now; (now = Clock::now()) < until;) {
    if (stopRequested()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now).count();
    if (!pauseUnlessSignalled(left < 999999999 ? left : 999999999) && stopRequested()) return false;
  }
  return true;
}

// The archive thread may be in the middle of a compression, so its answer
// is awaited in short naps that a stop cuts short (false then), whether it
// came before a nap or during one.
bool answer(std::future<bool> answer) {
  while (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    if (stopRequested()) return false;
    pauseUnlessSignalled(5 * 1000 * 1000);
  }
  return answer.get();
}

// False when nothing of ours is left, or once a stop was asked for: from
// then on nothing is deleted to make room.
bool removeOldestStoredFile(CurrentFile& file, int error) {
  return !stopRequested() && file.service->removeOldestFile(errorText(error));
}

bool giveUp(CurrentFile& file, int error) {
  file.givenUp = true;
  file.givenUpError = error;
  return false;
}

}  // namespace

bool isOutOfRoom(int error) { return error == ENOSPC || error == EDQUOT; }

bool waitForRoom(CurrentFile& file, int error, const std::function<bool(int& error)>& attempt) {
  // After a stop, one more attempt is all there is.
  if (stopRequested()) return attempt(error) || giveUp(file, error);
  if (answer(file.service->whenCaughtUp()) && attempt(error)) return true;
  while (removeOldestStoredFile(file, error)) {
    if (attempt(error)) return true;
  }
  if (stopRequested()) return attempt(error) || giveUp(file, error);
  const Clock::time_point start = Clock::now();
  printMessage(errorText(error) + ": writing paused, retrying every second");
  for (int retry = 1;; ++retry) {
    const bool stopped = !sleepUnlessStopped(start + std::chrono::seconds(retry));
    bool wrote = false;
    while (!wrote && !stopped && removeOldestStoredFile(file, error)) wrote = attempt(error);
    if (wrote || attempt(error)) {
      const double paused = std::chrono::duration<double>(Clock::now() - start).count();
      printMessage("Writing resumed after " + std::to_string(std::lround(paused)) + " s");
      return true;
    }
    if (stopped || stopRequested()) return giveUp(file, error);
  }
}

}  // namespace zarvo

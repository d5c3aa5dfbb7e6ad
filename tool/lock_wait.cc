#include "lock_wait.h"

#include <algorithm>

namespace tallier {

namespace {

// The pauses between looks at a lock that is held: short at first, since runs ahead hold it
// for about a millisecond each.
constexpr int kFirstPauseMs = 1;
constexpr int kLongestPauseMs = 16;

}  // namespace

Lock waitForLock(File& file, const std::string& path) {
  const int64_t since = monotonicMs();
  for (int pause = kFirstPauseMs;; pause = std::min(pause * 2, kLongestPauseMs)) {
    switch (tryRunLock(file)) {
      case LockTry::kTaken:
        return namesOpenFile(path, file) ? Lock::kTaken : Lock::kMoved;
      case LockTry::kFailed:
        return Lock::kFailed;
      case LockTry::kBusy:
        break;
    }
    if (!namesOpenFile(path, file))
      return Lock::kMoved;
    if (monotonicMs() - since >= kLockPatienceMs)
      return Lock::kHeld;
    sleepMs(pause);
  }
}

}  // namespace tallier

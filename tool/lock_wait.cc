#include "lock_wait.h"

#include <algorithm>

namespace tallier {

namespace {

// The pauses between looks at a lock that is held: short at first, since runs ahead hold it
// for about a millisecond each.
constexpr int kFirstPauseMs = 1;
constexpr int kLongestPauseMs = 16;

// The system's lock on an open file and its look at the name.
class FileLock final : public LockSite {
 public:
  FileLock(File& file, const std::string& path) : file_(file), path_(path) {}
  LockTry tryLock() override { return tryRunLock(file_); }
  bool stillNamed() override { return namesOpenFile(path_, file_); }

 private:
  File& file_;
  const std::string& path_;
};

}  // namespace

int64_t LockSite::nowMs() {
  return monotonicMs();
}

void LockSite::pauseMs(int ms) {
  sleepMs(ms);
}

Lock waitForLock(LockSite& site) {
  const int64_t since = site.nowMs();
  for (int pause = kFirstPauseMs;; pause = std::min(pause * 2, kLongestPauseMs)) {
    switch (site.tryLock()) {
      case LockTry::kTaken:
        return site.stillNamed() ? Lock::kTaken : Lock::kMoved;
      case LockTry::kFailed:
        return Lock::kFailed;
      case LockTry::kBusy:
        break;
    }
    if (!site.stillNamed())
      return Lock::kMoved;
    if (site.nowMs() - since >= kLockPatienceMs)
      return Lock::kHeld;
    site.pauseMs(pause);
  }
}

Lock waitForLock(File& file, const std::string& path) {
  FileLock site(file, path);
  return waitForLock(site);
}

}  // namespace tallier

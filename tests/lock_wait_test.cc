#include "lock_wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tallier {
namespace {

// A lock as a script, on a clock that moves only while the waiter pauses: a letter a try
// (T taken, B busy, F refused), the last one repeated; the name holds for `named` looks.
struct ScriptedLock : LockSite {
  ScriptedLock(std::string script, int looks) : tries(std::move(script)), named(looks) {}
  LockTry tryLock() override {
    const char c = tries[std::min(count++, tries.size() - 1)];
    // A waiter that never gives up is stopped here, a minute on.
    return now > 60000 || c == 'F' ? LockTry::kFailed : c == 'T' ? LockTry::kTaken : LockTry::kBusy;
  }
  bool stillNamed() override { return named-- > 0; }
  int64_t nowMs() override { return now; }
  void pauseMs(int ms) override { now += ms; }
  std::string tries;
  int named;
  size_t count = 0;
  int64_t now = 0;
};

TEST(LockWaitTest, BacksOffWhileTheNameHoldsAndGivesUpAfterItsPatienceEachTime) {
  // tries | looks the name holds | outcome | ms waited (pauses of 1, 2, 4, 8, then 16)
  const struct {
    const char* tries;
    int named;
    Lock lock;
    int64_t waited;
    // clang-format off
  } cases[] = {{"T", 1, Lock::kTaken, 0}, {"T", 0, Lock::kMoved, 0}, {"BBBT", 9, Lock::kTaken, 7},
      {"BBBBBBBT", 9, Lock::kTaken, 63}, {"BBBT", 2, Lock::kMoved, 3}, {"BF", 9, Lock::kFailed, 1},
      {"B", 1 << 30, Lock::kHeld, kLockPatienceMs + 15}};
  // clang-format on
  for (const auto& c : cases) {
    ScriptedLock lock(c.tries, c.named);
    EXPECT_EQ(waitForLock(lock), c.lock) << c.tries << " " << c.named;
    EXPECT_EQ(lock.now, c.waited) << c.tries << " " << c.named;
  }
  // Each wait has the whole patience: a file replaced by the run ahead starts it again.
  ScriptedLock held("B", 1 << 30);
  waitForLock(held);
  EXPECT_EQ(waitForLock(held), Lock::kHeld);
  EXPECT_EQ(held.now, 2 * (kLockPatienceMs + 15));
}

}  // namespace
}  // namespace tallier

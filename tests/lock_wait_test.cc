#include "lock_wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

namespace tallier {
namespace {

// A clock that moves only while a waiter pauses, and never goes back.
int64_t clockMs = 0;

// A lock as a script: a letter a try (T taken, B busy, F refused), the last one repeated; the
// name holds for `named` looks.
struct ScriptedLock : LockSite {
  ScriptedLock(std::string script, int looks) : tries(std::move(script)), named(looks) {}
  LockTry tryLock() override {
    // A waiter that never gives up is stopped here, a minute on.
    const char c = clockMs > 60000 ? 'F' : tries[std::min(tried++, tries.size() - 1)];
    return c == 'T' ? LockTry::kTaken : c == 'B' ? LockTry::kBusy : LockTry::kFailed;
  }
  bool stillNamed() override { return named-- > 0; }
  int64_t nowMs() override { return clockMs; }
  void pauseMs(int ms) override { clockMs += ms; }
  std::string tries;
  int named;
  size_t tried = 0;
};

// Each wait has the whole patience, counted from its start: a file replaced by the run ahead
// starts it again.
TEST(LockWaitTest, BacksOffWhileTheNameHoldsAndGivesUpAfterItsPatienceEachTime) {
  // tries | looks the name holds | outcome | ms waited (pauses of 1, 2, 4, 8, then 16)
  // clang-format off
  const std::tuple<const char*, int, Lock, int64_t> cases[] = {{"T", 1, Lock::kTaken, 0},
      {"T", 0, Lock::kMoved, 0}, {"BBBT", 9, Lock::kTaken, 7}, {"BBBBBBBT", 9, Lock::kTaken, 63},
      {"BBBT", 2, Lock::kMoved, 3}, {"BF", 9, Lock::kFailed, 1},
      {"B", 1 << 30, Lock::kHeld, kLockPatienceMs + 15}};
  // clang-format on
  for (const auto& [tries, named, outcome, waited] : cases) {
    ScriptedLock lock(tries, named);
    const int64_t start = clockMs;
    EXPECT_EQ(waitForLock(lock), outcome) << tries << " " << named;
    EXPECT_EQ(clockMs - start, waited) << tries << " " << named;
  }
}

}  // namespace
}  // namespace tallier

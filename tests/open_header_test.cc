// Opening the locked header, on the file system in memory.
#include "open_header.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_system.h"
#include "lock_wait.h"

namespace tallier {
namespace {

// What a run finds, and what it must leave: the outcome, the header's text once it is open
// ("-" when it is not), the names left, and how long it waited, in pauses of 1, 2, 4, 8, then
// 16 ms, each wait given up after the lock's patience.
TEST(OpenHeaderTest, WaitsForRunsAheadTakesBackWhatADeadRunLeftAndNothingElse) {
  // A run ahead, which moved the header aside (V~h) and replaces it with its copy.
  const auto runAhead = [] { fake.add("V.h", "new"), moveFile("V~h", "V.bak"); };
  const int64_t patience = kLockPatienceMs + 15;
  const struct {
    const char* what;
    std::function<void()> setUp;
    Opened outcome;
    const char *text, *namesLeft;
    int64_t waitedMs;
  } cases[] = {
      // clang-format off
      {"a lock held", [] { fake.add("V.h", "old", 'f', -1); }, Opened::kLockHeld, "-", "V.h", patience},
      {"the header replaced by a run ahead", [] { fake.add("V.h", "old", 'f', 5, [] { fake.add("V.h", "new"); }); },
       Opened::kLocked, "new", "V.h", 15},
      {"two runs ahead, each within the patience", [] { fake.add("V.h", "old", 'f', 600, [] { fake.add("V.h", "mid", 'f', 600, [] {
         fake.add("V.h", "new"); }); }); }, Opened::kLocked, "new", "V.h", 2 * 9535},
      {"the header aside, its run live", [&] { fake.add("V~h", "old", 'f', 5, runAhead); }, Opened::kLocked, "new", "V.bak V.h", 15},
      {"the header aside twice in a row", [&] { fake.add("V~h", "old", 'f', 5, [&] { fake.add("V~h", "mid", 'f', 5, runAhead); }); },
       Opened::kLocked, "new", "V.bak V.h", 30},
      {"the header back between two looks", [] { fake.whenMissing = [] { fake.add("V.h", "new"); }; }, Opened::kLocked, "new", "V.h", 0},
      {"a file aside that another program holds", [] { fake.add("V~h", "old", 'f', -1); }, Opened::kMissing, "-", "V~h", patience},
      // clang-format on
  };
  for (const auto& c : cases) {
    fake = FakeSystem();
    c.setUp();
    File header;
    const Opened outcome = openLockedHeader("V.h", header);
    std::string left;
    for (const auto& name : fake.names)
      left += (left.empty() ? "" : " ") + name.first;
    SCOPED_TRACE(c.what);
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(outcome == Opened::kLocked ? fake.files[header.handle].text : "-", c.text);
    EXPECT_TRUE(outcome != Opened::kLocked || header.openedSize == 3);
    EXPECT_EQ(left, c.namesLeft);
    EXPECT_EQ(fake.clockMs, c.waitedMs);
  }
}

}  // namespace
}  // namespace tallier

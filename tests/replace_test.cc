// The replacement driven through every failure, on the file system in memory.
#include "replace.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "fake_system.h"
#include "lock_wait.h"
#include "open_header.h"

namespace tallier {
namespace {

using R = ReplaceResult;

// Whatever calls fail, one or more in a row, the header's name holds a whole header and the
// result tells which (names after: header, backup, scratch name, copy). Replaced means synced
// too. The previous backup stays unless the new text is in place; the previous header stays
// under the scratch name when it could not get its name back (where it stepped aside, the
// next run finds it there), beside itself when that name could not be removed, or when a
// backup held open was waited for as long as a lock. A run killed at a call is one whose calls
// all fail from there on. Then the next run, of either system, advances the header it finds,
// and keeps it.
TEST(ReplaceTest, EachCallFailingInTurnLeavesWhatTheResultPromises) {
  // clang-format off
  const std::set<std::string> notReplaced = {"old stale - new", "old stale old new", "- stale old new", "saved stale old new",
      "old stale - swapped", "- stale old swapped"};
  std::map<R, std::set<std::string>> promised = {{R::kReplaced, {"new old - -"}}, {R::kSyncFailed, {"new old - -"}},
      {R::kRenameFailed, notReplaced}, {R::kChanged, notReplaced},
      {R::kBackupFailed, {"old stale - new", "old stale old new", "old stale - -", "new stale old -"}}};
  // clang-format on
  promised[R::kChanged].insert("saved old - new");
  const int killed = 1000;
  for (const int fails :
       {1, 2, kBackupAttemptsWhenNameTaken - 1, kBackupAttemptsWhenNameTaken, killed})
    for (int failFrom = 1, mode = 0, again = 0; again < 2; ++failFrom) {
      const bool saved = mode == 2;
      fake = FakeSystem();
      fake.failFrom = failFrom, fake.fails = fails, fake.stepsAside = mode > 0, fake.again = again;
      // While the header stands aside, another program saves a header of its own under its
      // name (`saved`), or puts a file of its own under the copy's.
      bool tookName = false;
      fake.afterMove = [&](const std::string& from, const std::string& to) {
        tookName |= from == "V.new" && to == "V.h";
        if (mode > 1 && from == "V.h")
          fake.add(saved ? "V.h" : "V.new", saved ? "saved" : "swapped");
      };
      File header = fake.add("V.h", "old"), copy = fake.add("V.new", "new");
      // Where that stops its replacement, a program holds the backup open for a moment.
      fake.files[fake.add("V.bak", "stale").handle].heldUntilMs =
          mode ? kBusyNamePatienceMs / 2 : 0;
      PreviousHeader previous;
      const R result = !keepPreviousHeader(header, "V.h", previous)
                           ? R::kBackupFailed
                           : replaceHeader(header, copy, "V.h", "V.new", previous);
      std::string names;
      for (const char* name : {"V.h", "V.bak", "V~h", "V.new"})
        names += (names.empty() ? "" : " ") + fake.textAt(name);
      SCOPED_TRACE(testing::Message()
                   << again << mode << ':' << failFrom << '+' << fails << ": " << names);
      EXPECT_EQ(promised.at(result).count(names), 1u);
      EXPECT_EQ(result == R::kReplaced, names == "new old - -" && fake.synced);
      // A change is told from a failure; one failure alone leaves the header its name and, but
      // for a removal that failed, the scratch name free.
      EXPECT_EQ(result == R::kChanged, fake.failed == "unchanged" || names[0] == 's');
      EXPECT_TRUE(fake.failures > 1 || mode > 2 ||
                  (fake.has("V.h") && (!fake.has("V~h") || fake.failed == "remove")));
      // The ninth call is the first try to keep the header as the backup, from another
      // program's file under its name.
      EXPECT_TRUE(!saved || failFrom != 9 ||
                  names == (fails < kBackupAttemptsWhenNameTaken ? "saved old - new"
                                                                 : "saved stale old new"));
      // With no call failing, the header is replaced, or kept from another program's. The copy
      // is gone once it took the header's name, unless another call failed too.
      EXPECT_TRUE(fake.calls >= failFrom || result == (saved      ? R::kChanged
                                                       : mode > 2 ? R::kRenameFailed
                                                                  : R::kReplaced));
      EXPECT_TRUE(!tookName || fake.failures != 1 || names.back() == '-');
      // The next run is one of the other system's.
      fake.fails = 0, fake.again = false, fake.afterMove = nullptr, fake.stepsAside = !mode;
      File next;
      ASSERT_EQ(openLockedHeader("V.h", next), Opened::kLocked);
      const std::string found = fake.files[next.handle].text;
      PreviousHeader kept;
      EXPECT_TRUE(keepPreviousHeader(next, "V.h", kept) &&
                  replaceHeader(next, fake.add("V.new", "next"), "V.h", "V.new", kept) ==
                      R::kReplaced);
      EXPECT_EQ(fake.textAt("V.h") + fake.textAt("V.bak") + fake.textAt("V~h"),
                "next" + found + "-");
      if (fake.calls < failFrom)
        failFrom = 0, again += ++mode / 4, mode %= 4;
    }
}

}  // namespace
}  // namespace tallier

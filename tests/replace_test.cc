// The replacement driven through every failure, with names in memory standing in for the
// system's file operations that replace.cc calls (defined here).
#include "replace.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "lock_wait.h"

namespace tallier {
namespace {

// Names and the text each holds. Calls, counted from 1, fail from `failFrom` on for `fails`
// calls; with `saved`, another program saves a header of its own under the header's name
// while the header stands aside (as on Windows). Whether the directory was synced after the
// last move, and whether a previous header failed to get its name back.
struct Disk {
  std::map<std::string, std::string> names{{"V.h", "old"}, {"V.new", "new"}, {"V.bak", "stale"}};
  int calls = 0, failFrom = 0, fails = 0;
  bool saved = false, synced = false, unrestored = false;
  bool ok() { return ++calls < failFrom || calls >= failFrom + fails; }
  bool move(const std::string& from, const std::string& to) {
    synced = false;
    return ok() && names.count(from) && (names[to] = names[from], names.erase(from));
  }
} disk;

}  // namespace

bool isOwnName(const std::string&, const File&) {
  return false;
}
bool removeFile(const std::string& path) {
  return disk.ok() && (disk.names.erase(path), true);
}
bool linkOld(File&, const std::string& to, const std::string& old) {
  return disk.ok() && (disk.names[old] = disk.names[to], true);
}
bool nameCanBeTaken(const std::string&) {
  return disk.ok();
}
Replaced replaceKeepingOld(const File&, const File&, const std::string& from, const std::string& to,
                           const std::string& old) {
  if (disk.saved)
    return disk.names[to] = "saved", Replaced::kNameTaken;
  if (disk.move(from, to))
    return Replaced::kKeepingOld;
  return disk.names.erase(old), Replaced::kNot;
}
bool replaceFile(const std::string& from, const std::string& to) {
  return disk.move(from, to);
}
bool restoreOld(const std::string& old, const std::string& to, const std::string&) {
  return disk.move(old, to) || !(disk.unrestored = true);
}
bool syncDirectories(const std::string&, const std::string&) {
  return disk.synced = disk.ok();
}

using R = ReplaceResult;

// Whatever calls fail, one or more in a row, the header's name holds a whole header and the
// result tells which (names after: header, backup, scratch name, copy). Replaced means synced
// too. The previous backup stays unless the new text is in place; the previous header stays
// under the scratch name when it could not get its name back, beside itself when that name
// could not be removed, or when a backup held open was waited for as long as a lock.
TEST(ReplaceTest, EachCallFailingInTurnLeavesWhatTheResultPromises) {
  // clang-format off
  const std::map<R, std::set<std::string>> promised = {
      {R::kReplaced, {"new old - -"}}, {R::kSyncFailed, {"new old - -"}},
      {R::kRenameFailed, {"old stale - new"}},
      {R::kChanged, {"saved old - new", "saved stale old new"}},
      {R::kBackupFailed, {"old stale - new", "old stale old new", "old stale - -", "new stale old -"}}};
  // clang-format on
  for (const int fails : {1, 2, kBackupAttemptsWhenNameTaken - 1, kBackupAttemptsWhenNameTaken}) {
    for (int failFrom = 1, saved = 0; saved < 2; ++failFrom) {
      disk = Disk();
      disk.failFrom = failFrom, disk.fails = fails, disk.saved = saved;
      File header;
      PreviousHeader previous;
      const R result = !keepPreviousHeader(header, "V.h", previous)
                           ? R::kBackupFailed
                           : replaceHeader(header, header, "V.h", "V.new", previous);
      std::string names;
      for (const char* name : {"V.h", "V.bak", "V~h", "V.new"})
        names += (names.empty() ? "" : " ") + (disk.names.count(name) ? disk.names[name] : "-");
      SCOPED_TRACE(std::to_string(failFrom) + "+" + std::to_string(fails) + ": " + names);
      EXPECT_EQ(promised.at(result).count(names), 1u);
      EXPECT_EQ(result == R::kReplaced, names == "new old - -" && disk.synced);
      EXPECT_EQ(names == "new stale old -", disk.unrestored);
      EXPECT_EQ(names == "saved stale old new",
                saved && failFrom == 4 && fails == kBackupAttemptsWhenNameTaken);
      // With no call failing, the header is replaced, or kept from another program's.
      EXPECT_TRUE(disk.calls >= failFrom || result == (saved ? R::kChanged : R::kReplaced));
      if (disk.calls < failFrom)
        failFrom = 0, ++saved;
    }
  }
}

}  // namespace tallier

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
// calls, and with `again` the call after the next too; `failed` names the first that failed. The
// header steps aside to be replaced where `stepsAside` (as on Windows); then with `saved` another
// program saves a header of its own under the header's name meanwhile. Whether the directory was
// synced after the last move.
struct Disk {
  std::map<std::string, std::string> names{{"V.h", "old"}, {"V.new", "new"}, {"V.bak", "stale"}};
  int calls = 0, failFrom = 0, fails = 0, failures = 0;
  bool again = false, stepsAside = false, saved = false, synced = false;
  std::string failed;
  bool ok(const char* call) {
    const bool fails_ = (++calls >= failFrom && calls < failFrom + fails) ||
                        (again && calls == failFrom + fails + 1);
    if (fails_ && !failures++)
      failed = call;
    return !fails_;
  }
  Moved move(const std::string& from, const std::string& to, bool replacing) {
    // A name found taken is told as such, whatever else went wrong.
    const bool moved = ok("move");
    if (!replacing && names.count(from) && names.count(to))
      return Moved::kNameTaken;
    if (!moved || !names.count(from))
      return Moved::kFailed;
    names[to] = names[from], names.erase(from), synced = false;
    if (saved && from == "V.h")
      names[from] = "saved";
    return Moved::kDone;
  }
} disk;

}  // namespace

bool isOwnName(const std::string&, const File&) {
  return false;
}
bool removeFile(const std::string& path) {
  return disk.ok("remove") && (disk.names.erase(path), true);
}
bool linkOld(File&, const std::string& to, const std::string& old) {
  return disk.stepsAside || (disk.ok("link") && (disk.names[old] = disk.names[to], true));
}
bool nameCanBeTaken(const std::string&) {
  return disk.ok("free");
}
bool renamesOverOpenFiles() {
  return !disk.stepsAside;
}
bool unchangedSinceLocked(const File&) {
  return disk.ok("unchanged");
}
bool namesHeaderAsLocked(const std::string& path, const File&) {
  return disk.ok("unchanged") && disk.names.count(path) && disk.names[path] == "old";
}
bool namesOpenFile(const std::string& path, const File&) {
  return disk.ok("copy") && disk.names.count(path) && disk.names[path] == "new";
}
Moved moveFile(const std::string& from, const std::string& to) {
  return disk.move(from, to, false);
}
bool replaceFile(const std::string& from, const std::string& to) {
  return disk.move(from, to, true) == Moved::kDone;
}
bool syncDirectories(const std::string&, const std::string&) {
  return disk.synced = disk.ok("sync");
}

using R = ReplaceResult;

// Whatever calls fail, one or more in a row, the header's name holds a whole header and the
// result tells which (names after: header, backup, scratch name, copy). Replaced means synced
// too. The previous backup stays unless the new text is in place; the previous header stays
// under the scratch name when it could not get its name back (where it stepped aside, the
// next run finds it there), beside itself when that name could not be removed, or when a
// backup held open was waited for as long as a lock.
TEST(ReplaceTest, EachCallFailingInTurnLeavesWhatTheResultPromises) {
  // clang-format off
  const std::set<std::string> notReplaced = {"old stale - new", "old stale old new", "- stale old new", "saved stale old new"};
  std::map<R, std::set<std::string>> promised = {{R::kReplaced, {"new old - -"}}, {R::kSyncFailed, {"new old - -"}},
      {R::kRenameFailed, notReplaced}, {R::kChanged, notReplaced},
      {R::kBackupFailed, {"old stale - new", "old stale old new", "old stale - -", "new stale old -"}}};
  // clang-format on
  promised[R::kChanged].insert("saved old - new");
  for (const int fails : {1, 2, kBackupAttemptsWhenNameTaken - 1, kBackupAttemptsWhenNameTaken})
    for (int failFrom = 1, mode = 0, again = 0; again < 2; ++failFrom) {
      disk = Disk();
      disk.failFrom = failFrom, disk.fails = fails, disk.stepsAside = mode > 0,
      disk.saved = mode > 1, disk.again = again;
      File header;
      PreviousHeader previous;
      const R result = !keepPreviousHeader(header, "V.h", previous)
                           ? R::kBackupFailed
                           : replaceHeader(header, header, "V.h", "V.new", previous);
      std::string names;
      for (const char* name : {"V.h", "V.bak", "V~h", "V.new"})
        names += (names.empty() ? "" : " ") + (disk.names.count(name) ? disk.names[name] : "-");
      SCOPED_TRACE(testing::Message()
                   << again << mode << ':' << failFrom << '+' << fails << ": " << names);
      EXPECT_EQ(promised.at(result).count(names), 1u);
      EXPECT_EQ(result == R::kReplaced, names == "new old - -" && disk.synced);
      // A change is told from a failure; one failure alone leaves the header its name and, but
      // for a removal that failed, the scratch name free.
      EXPECT_EQ(result == R::kChanged, disk.failed == "unchanged" || names[0] == 's');
      EXPECT_TRUE(disk.failures > 1 || (disk.names.count("V.h") &&
                                        (!disk.names.count("V~h") || disk.failed == "remove")));
      // The ninth call is the first try to keep the header as the backup, from another
      // program's file under its name.
      EXPECT_TRUE(!disk.saved || failFrom != 9 ||
                  names == (fails < kBackupAttemptsWhenNameTaken ? "saved old - new"
                                                                 : "saved stale old new"));
      // With no call failing, the header is replaced, or kept from another program's.
      EXPECT_TRUE(disk.calls >= failFrom || result == (disk.saved ? R::kChanged : R::kReplaced));
      if (disk.calls < failFrom)
        failFrom = 0, again += ++mode / 3, mode %= 3;
    }
}

}  // namespace tallier

#include "open_header.h"

#include "common.h"
#include "lock_wait.h"

namespace tallier {

namespace {

// What waiting for a header moved aside found.
enum class Aside {
  kNone,     ///< no header of a run's under the scratch name
  kAwaited,  ///< its run let go of it, or it was put back: the header's name is worth a look
  kHeld      ///< another program holds its lock and does not let go
};

// A run on a system where the header steps aside to be replaced (see replace.cc) leaves its
// name empty between two moves: the header waits under its scratch name, locked by that run
// until it ends. A missing header found there is waited for; still missing once the lock is
// ours, it was left there by a run that died in between, and it takes back its name as the
// file's own name spells it (a name typed in another case does not become the header's). A
// link there, or a name of a file that has others, is no header of a run's, and what it leads
// to is never taken.
Aside awaitMovedHeader(const std::string& path) {
  const std::string aside = scratchName(path);
  File moved;
  if (whatNameHolds(aside, moved) != NameHolds::kFile || openToLock(aside, moved) != Found::kOpened)
    return Aside::kNone;
  const Lock lock = waitForLock(moved, aside);
  if (lock == Lock::kTaken)
    moveFile(aside, ownSpelling(path, headerName(aside, moved)));
  closeFile(moved);
  if (lock == Lock::kHeld)
    return Aside::kHeld;
  return lock == Lock::kTaken || lock == Lock::kMoved ? Aside::kAwaited : Aside::kNone;
}

}  // namespace

Opened openLockedHeader(const std::string& path, File& header) {
  // Counted since the header was last found, every run ahead being a new start.
  int looks = 0, missed = 0;
  for (;;) {
    switch (openHeader(path, header)) {
      case HeaderOpen::kAbsent: {
        // Found under neither name, it may be back under its own, a run having made both its
        // moves between the two looks: it is looked for once more before it counts as missing.
        const Aside aside = awaitMovedHeader(path);
        if (++looks < kMissingHeaderLooks &&
            (aside == Aside::kAwaited || (aside == Aside::kNone && ++missed < 2)))
          continue;
        return Opened::kMissing;
      }
      case HeaderOpen::kRefused:
        return Opened::kMissing;
      case HeaderOpen::kNotRegular:
        return Opened::kNotRegular;
      case HeaderOpen::kOpened:
        looks = missed = 0;
        break;
    }
    // The run before us may have replaced the header while we waited: the lock we hold is
    // then on its old file, and the current one must be opened and locked again.
    const Lock lock = waitForLock(header, path);
    if (lock == Lock::kTaken && stampHeader(header))
      return Opened::kLocked;
    closeFile(header);
    if (lock == Lock::kHeld)
      return Opened::kLockHeld;
    if (lock != Lock::kMoved)
      return Opened::kMissing;
  }
}

}  // namespace tallier

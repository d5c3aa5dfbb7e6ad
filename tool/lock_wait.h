// How long and how often a run waits and tries again, the same on every system: for the lock
// that runs take on a file (waited for here, above the one try that each system makes), and
// for a name that a program holds, a copy's name and a missing header.
#ifndef TALLIER_LOCK_WAIT_H_
#define TALLIER_LOCK_WAIT_H_

#include <cstdint>
#include <string>

#include "platform.h"

namespace tallier {

/// How long a run waits for a lock that is not let go while the file under its name stays the
/// same. Runs ahead of it let go by replacing the file, each in a moment; a program that holds
/// the lock for as long as it likes (a build run under `flock Version.h make`) is given up on.
constexpr int kLockPatienceMs = 10000;

/// How long a rename over a name that another program holds is tried again, where a file that
/// is open cannot be replaced (Windows): runs on headers that share a backup's name each look
/// at it for an instant.
constexpr int kBusyNamePatienceMs = 500;

/// The pause between those tries.
constexpr int kBusyNamePauseMs = 10;

/// A backup that another program holds, when the header's name was taken during the
/// replacement, is tried again until it has been waited for as long as a lock is.
constexpr int kBackupAttemptsWhenNameTaken = kLockPatienceMs / kBusyNamePatienceMs;

/// How often a copy's name is taken again after it was found taken, by another run's copy or a
/// leftover that was removed meanwhile, before the name counts as one that cannot be had: runs
/// that share the name each have it in turn, and a program that keeps putting a file there
/// does not hold a run for ever.
constexpr int kFreshFileAttempts = 100;

/// How often a missing header is looked for again, each time after a wait for the run that
/// moved it aside, before it counts as missing.
constexpr int kMissingHeaderLooks = 20;

/// How waiting for a lock ended.
enum class Lock {
  kTaken,  ///< the lock is the run's, on the file that its name still names
  kMoved,  ///< another file has the name now, and the lock on this one is of no use
  kHeld,   ///< held past kLockPatienceMs while the name kept naming this file
  kFailed  ///< the system refused the lock
};

/// Waits for the run's lock on the open `file`, which `path` named when it was opened. A run
/// ahead lets go once it has put another file under the name: then kMoved sends the caller to
/// the new file, whose wait starts afresh. A lock held past kLockPatienceMs while the name
/// keeps naming this file is another program's.
Lock waitForLock(File& file, const std::string& path);

}  // namespace tallier

#endif  // TALLIER_LOCK_WAIT_H_

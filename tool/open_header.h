// Opening the header and taking the lock that runs take on it in turns, on every system.
#ifndef TALLIER_OPEN_HEADER_H_
#define TALLIER_OPEN_HEADER_H_

#include <string>

#include "platform.h"

namespace tallier {

/// How opening the header ended.
enum class Opened {
  kLocked,      ///< open, and the run's lock on it taken
  kMissing,     ///< it cannot be opened (absent, no permission)
  kNotRegular,  ///< it is a directory, a device, a FIFO: nothing a run may read as a header
  kLockHeld     ///< another program holds its lock and does not let go
};

/// Opens the header and waits for its lock (see lock_wait.h), again on the file that has its
/// name once a run ahead replaced it. A missing header that a run moved to its scratch name is
/// waited for, and one that a dead run left there takes its name back. The lock lasts until
/// the file is closed, and the system drops it when the process dies. `header` holds the
/// header's stamps as they were once the lock was taken.
Opened openLockedHeader(const std::string& path, File& header);

}  // namespace tallier

#endif  // TALLIER_OPEN_HEADER_H_

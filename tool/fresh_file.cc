#include "fresh_file.h"

#include "lock_wait.h"
#include "replace.h"

namespace tallier {

bool takeFreshFile(const std::string& path, File& header, File& file) {
  int vanishedAt = -1;
  for (int attempt = 1; attempt <= kFreshFileAttempts; ++attempt) {
    switch (createFile(path, header, file)) {
      case Created::kCreated: {
        // Another run may have locked it first, taken it for a leftover and removed it.
        const Lock lock = waitForLock(file, path);
        if (lock == Lock::kTaken)
          return true;
        closeFile(file);
        if (lock == Lock::kMoved)
          continue;
        removeFile(path);
        return false;
      }
      case Created::kFailed:
        return false;
      case Created::kNameTaken:
        break;
    }
    switch (whatNameHolds(path, header)) {
      case NameHolds::kNothing:
        continue;
      case NameHolds::kLink:
      case NameHolds::kHeadersName:
        if (!removeLeftName(path, header))
          return false;
        continue;
      case NameHolds::kOther:
        return false;
      case NameHolds::kFile:
        break;
    }
    File found;
    switch (openToLock(path, found)) {
      // A file that went between the two looks, and then the next attempt creates it; or,
      // found so twice in a row, a name that no call opens (see clearUnopenableName). Not
      // at once: that replaces whatever is there, another run's new copy too.
      case Found::kGone:
        if (vanishedAt == attempt - 1)
          clearUnopenableName(path);
        vanishedAt = attempt;
        continue;
      case Found::kFailed:
        return false;
      case Found::kOpened:
        break;
    }
    const Lock lock = waitForLock(found, path);
    const bool removed = lock == Lock::kMoved || (lock == Lock::kTaken && removeFile(path));
    closeFile(found);
    if (!removed)
      return false;
  }
  return false;
}

}  // namespace tallier

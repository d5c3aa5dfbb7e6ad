#include "replace.h"

#include "common.h"
#include "lock_wait.h"
#include "platform.h"

namespace tallier {

bool keepPreviousHeader(File& header, const std::string& headerPath, PreviousHeader& previous) {
  previous.backupPath = companionName(headerPath, "bak");
  // The previous header waits under a name of the header's own until the header is
  // replaced, so that a failed run leaves the previous backup as it was. Only a run killed
  // in between leaves it behind, and the next run on the header, which holds the header's
  // lock, removes it.
  previous.oldPath = scratchName(headerPath);
  // A header named *.bak, or one that its backup's name reaches on a file system that
  // ignores case, is its own backup's name: it is simply replaced and keeps no backup.
  // A link under the backup's name is a name like any other: it is replaced by the previous
  // header, never followed. Asked before the header has its scratch name, which isOwnName would
  // take for a hard link.
  previous.ownBackup = previous.backupPath == headerPath || isOwnName(previous.backupPath, header);
  return removeFile(previous.oldPath) && linkOld(header, headerPath, previous.oldPath);
}

void dropPreviousHeader(const PreviousHeader& previous) {
  removeFile(previous.oldPath);
}

ReplaceResult replaceHeader(const File& header, const File& copy, const std::string& headerPath,
                            const std::string& copyPath, const PreviousHeader& previous) {
  const std::string& backupPath = previous.backupPath;
  const std::string& oldPath = previous.oldPath;
  const bool ownBackup = previous.ownBackup;
  // A backup's name that no rename can take (a directory, a file held open by a viewer) is
  // found before the header changes, and stops the run.
  if (!ownBackup && !nameCanBeTaken(backupPath)) {
    dropPreviousHeader(previous);
    return ReplaceResult::kBackupFailed;
  }
  switch (replaceKeepingOld(header, copy, copyPath, headerPath, oldPath)) {
    case Replaced::kNot:
      return ReplaceResult::kRenameFailed;
    case Replaced::kChanged:
      return ReplaceResult::kChanged;
    case Replaced::kNameTaken:
      // Another program's file has the header's name now. The header as it was before the
      // run is kept where users look for it, as the backup, not under a scratch name that
      // later runs remove; a backup that a program holds meanwhile is waited for as long
      // as a lock is.
      for (int attempt = 1; !ownBackup && attempt <= kBackupAttemptsWhenNameTaken; ++attempt)
        if (replaceFile(oldPath, backupPath))
          break;
      return ReplaceResult::kChanged;
    case Replaced::kKeepingOld:
      break;
  }
  if (!ownBackup && !replaceFile(oldPath, backupPath)) {
    // Success would promise a backup that is not there: the previous header goes back. The
    // run fails either way, so a directory that cannot be synced after it changes nothing.
    if (restoreOld(oldPath, headerPath, copyPath))
      syncDirectories(headerPath, copyPath);
    return ReplaceResult::kBackupFailed;
  }
  // Still there when the header is its own backup's name, or when the backup's name was a
  // hard link to the header, which a rename leaves as it is: that name holds the previous
  // header already. What cannot be removed now, the next run removes.
  removeFile(oldPath);
  if (!syncDirectories(headerPath, copyPath))
    return ReplaceResult::kSyncFailed;
  return ReplaceResult::kReplaced;
}

}  // namespace tallier

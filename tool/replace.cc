#include "replace.h"

#include "common.h"
#include "platform.h"

namespace tallier {

ReplaceResult replaceHeader(const File& header, const std::string& headerPath,
                            const std::string& copyPath) {
  const std::string backupPath = companionName(headerPath, "bak");
  // The previous header waits under a name of the header's own until the header is
  // replaced, so that a failed run leaves the previous backup as it was. Only a run killed
  // in between leaves it behind, and the next run on the header, which holds the header's
  // lock, removes it.
  const std::string oldPath = scratchName(headerPath);
  // A header named *.bak, or one that its backup's name reaches on a file system that
  // ignores case, is its own backup's name: it is simply replaced and keeps no backup.
  const bool ownBackup = backupPath == headerPath || namesOpenFile(backupPath, header);
  if (!removeFile(oldPath))
    return ReplaceResult::kRenameFailed;
  const Replaced replaced = replaceKeepingOld(copyPath, headerPath, oldPath);
  if (replaced == Replaced::kNot)
    return ReplaceResult::kRenameFailed;
  // A backup that cannot be made costs only the backup, never the new header; what cannot
  // be removed now, the next run removes.
  if (replaced == Replaced::kKeepingOld && (ownBackup || !replaceFile(oldPath, backupPath)))
    removeFile(oldPath);
  if (!syncDirectories(headerPath, copyPath))
    return ReplaceResult::kSyncFailed;
  return ReplaceResult::kReplaced;
}

}  // namespace tallier

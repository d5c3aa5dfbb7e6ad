#include "replace.h"

#include "common.h"
#include "platform.h"

namespace tallier {

ReplaceResult replaceHeader(const std::string& headerPath, const std::string& copyPath) {
  const std::string backupPath = companionName(headerPath, "bak");
  // A header named *.bak is its own backup's name: it is simply replaced and keeps no backup.
  // Elsewhere a backup that cannot be made costs only the backup, never the new header.
  if (backupPath != headerPath && removeFile(backupPath))
    makeBackup(headerPath, backupPath);
  if (!replaceFile(copyPath, headerPath))
    return ReplaceResult::kRenameFailed;
  if (!syncDirectories(headerPath, copyPath))
    return ReplaceResult::kSyncFailed;
  return ReplaceResult::kReplaced;
}

}  // namespace tallier

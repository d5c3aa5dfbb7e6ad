#include "replace.h"

#include "common.h"
#include "lock_wait.h"
#include "platform.h"

namespace tallier {

namespace {

// Where a file that is open cannot be replaced (Windows), runs on headers that share a
// backup's name each look at it for an instant (is it my header? can it be replaced?): a
// rename over a name that a program holds is tried again for a while before it counts as
// failed.
bool replaceWhenFree(const std::string& from, const std::string& to) {
  const int64_t since = monotonicMs();
  for (;;) {
    const Moved moved = replaceFile(from, to);
    if (moved != Moved::kNameBusy || monotonicMs() - since >= kBusyNamePatienceMs)
      return moved == Moved::kDone;
    sleepMs(kBusyNamePauseMs);
  }
}

/// How a replacement that keeps the replaced file ended.
enum class Replaced {
  kNot,        ///< `from` could not take `to`'s name
  kChanged,    ///< `to` no longer names `header` as it was read, so nothing was replaced
  kNameTaken,  ///< another file took `to`'s name while the header stood aside under `old`
  kKeepingOld  ///< `from` has `to`'s name and the file that had it is under `old`
};

// Gives `to`'s name to the open `copy`, found under `from`, and keeps the file that had it
// under `old`, provided that file is still `header`, unchanged since it was locked: checked
// as late as the system allows, so that a change made meanwhile by another program (an
// editor saving the header) is not undone by a copy of the text before it. The copy's lock
// keeps other runs off its name, but not a run of the other system's program under Wine on
// a header this run may only read (nor this run it): that run's copy may be under `from`,
// and never takes the header's name. Where a rename may give an open file's name away,
// `to` names a whole file throughout, `old` names the header since linkOld, and unless the
// copy takes the name every name is as it was before linkOld and `old` is free. Elsewhere
// the header steps aside to `old` for an instant and the copy takes the free name; the
// header's name is empty meanwhile, and a run that dies then leaves the header under `old`,
// where the next run finds it.
Replaced replaceKeepingOld(const File& header, const File& copy, const std::string& from,
                           const std::string& to, const std::string& old) {
  const bool stepsAside = !renamesOverOpenFiles();
  if (!unchangedSinceLocked(header)) {
    if (!stepsAside)
      removeFile(old);
    return Replaced::kChanged;
  }
  if (stepsAside && moveFile(to, old) != Moved::kDone)
    return Replaced::kNot;
  // A file that another program saved under the header's name just before the header
  // stepped aside has stepped aside in its place.
  const bool unchanged = namesHeaderAsLocked(stepsAside ? old : to, header);
  if (unchanged && namesOpenFile(from, copy) &&
      (stepsAside ? moveFile(from, to) == Moved::kDone : replaceWhenFree(from, to)))
    return Replaced::kKeepingOld;
  if (!stepsAside)
    removeFile(old);
  else if (moveFile(old, to) == Moved::kNameTaken)
    return Replaced::kNameTaken;
  return unchanged ? Replaced::kNot : Replaced::kChanged;
}

// Undoes replaceKeepingOld: the file kept under `old` takes `to`'s name again, and the file
// that had it is gone. False when `to` still names the new file. Where the new header may not
// be renamed over while open (it is, here), it goes back to `from` first.
bool restoreOld(const std::string& old, const std::string& to, const std::string& from) {
  if (renamesOverOpenFiles())
    return replaceWhenFree(old, to);
  if (moveFile(to, from) != Moved::kDone)
    return false;
  if (moveFile(old, to) != Moved::kDone) {
    moveFile(from, to);
    return false;
  }
  removeFile(from);
  return true;
}

}  // namespace

bool removeLeftName(const std::string& path, File& header) {
  const bool headersName = whatNameHolds(path, header) == NameHolds::kHeadersName;
  return removeFile(path) && (!headersName || stampHeader(header));
}

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
  // A killed run's scratch name may be another name of the header itself.
  return removeLeftName(previous.oldPath, header) && linkOld(header, headerPath, previous.oldPath);
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
        if (replaceWhenFree(oldPath, backupPath))
          break;
      return ReplaceResult::kChanged;
    case Replaced::kKeepingOld:
      break;
  }
  if (!ownBackup && !replaceWhenFree(oldPath, backupPath)) {
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

// Puts the rewritten copy in the header's place and keeps the previous header as the backup.
#ifndef TALLIER_REPLACE_H_
#define TALLIER_REPLACE_H_

#include <string>

#include "platform.h"

namespace tallier {

/// How the replacement ended.
enum class ReplaceResult {
  kReplaced,      ///< the header holds the new text and the backup the previous one, durably
  kRenameFailed,  ///< the header and the backup are as they were
  kBackupFailed,  ///< the previous header could not be kept: the header and the backup are
                  ///< as they were (the copy is gone once the header had taken it), unless
                  ///< the header could not get its text back, which then waits under the
                  ///< scratch name
  kChanged,       ///< another program changed the header during the run: the header and the
                  ///< backup are as they were, the copy holds the text the run read, advanced
  kSyncFailed     ///< the header holds the new text, but the directory could not be synced
};

/// The previous header, waiting under a scratch name of the header's own until it takes the
/// backup's name.
struct PreviousHeader {
  std::string backupPath;
  std::string oldPath;
  /// The header is its own backup's name (a header named *.bak), and keeps no backup.
  bool ownBackup = false;
};

/// Removes `path`, a name that a run left, never what a link there leads to. Where it was
/// another name of the open `header`, whose removal changes the header, the header's stamps
/// are taken anew: that change is no other program's. False when the name stays.
bool removeLeftName(const std::string& path, File& header);

/// Before the header is read: removes a scratch name left by a killed run and, where files
/// may have two names, gives the header its scratch name, so that the check before the
/// replacement sees every change made since the run began to read it. False when that link
/// cannot be made; the header and the backup are as they were.
bool keepPreviousHeader(File& header, const std::string& headerPath, PreviousHeader& previous);

/// Undoes keepPreviousHeader, for a run that ends before the replacement.
void dropPreviousHeader(const PreviousHeader& previous);

/// Gives the header's name to the copy in one step, so that the name always holds a whole
/// header (on Windows, which renames nothing over an open file, the header steps aside for an
/// instant), then gives the previous header the "bak" companion's name. The copy must be
/// synced already and `copy` a handle that holds its lock, and `header` still open and locked.
ReplaceResult replaceHeader(const File& header, const File& copy, const std::string& headerPath,
                            const std::string& copyPath, const PreviousHeader& previous);

}  // namespace tallier

#endif  // TALLIER_REPLACE_H_

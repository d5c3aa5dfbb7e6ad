// Puts the rewritten copy in the header's place and keeps the previous header as the backup.
#ifndef TALLIER_REPLACE_H_
#define TALLIER_REPLACE_H_

#include <string>

#include "platform.h"

namespace tallier {

/// How the replacement ended.
enum class ReplaceResult {
  kReplaced,      ///< the header holds the new text and the backup the previous one, durably
  kRenameFailed,  ///< the header and the backup are as they were; the new text is in the copy
  kBackupFailed,  ///< the previous header could not be kept: the header and the backup are
                  ///< as they were (the copy is gone once the header had taken it), unless
                  ///< the header could not get its text back, which then waits under the
                  ///< scratch name
  kChanged,       ///< another program changed the header during the run: the header and the
                  ///< backup are as they were, the copy holds the text the run read, advanced
  kSyncFailed     ///< the header holds the new text, but the directory could not be synced
};

/// Gives the header's name to the copy in one step, so that the name always holds a whole
/// header (on Windows, which renames nothing over an open file, the header steps aside for an
/// instant), then gives the previous header the "bak" companion's name. The copy must be
/// synced already, and `header` still open and locked.
ReplaceResult replaceHeader(const File& header, const std::string& headerPath,
                            const std::string& copyPath);

}  // namespace tallier

#endif  // TALLIER_REPLACE_H_

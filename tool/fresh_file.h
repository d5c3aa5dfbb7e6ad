// Taking a companion's name for a file of the run's own, on every system.
#ifndef TALLIER_FRESH_FILE_H_
#define TALLIER_FRESH_FILE_H_

#include <string>

#include "platform.h"

namespace tallier {

/// Creates `path` anew and locks it, for the rewritten copy of `header`. Runs on headers that
/// share a companion's name (Version.h and Version.hpp) take the name in turns: a file found
/// there is locked first, so that one still in use by a live run is waited for, and removed
/// once its run has ended or died; a link found there is removed, never followed, and so is a
/// second name of the header itself, whose text stays under the header's name. A name found
/// taken kFreshFileAttempts times is given up on. False when the name cannot be had, and then
/// no file of the run's is left there.
bool takeFreshFile(const std::string& path, File& header, File& file);

}  // namespace tallier

#endif  // TALLIER_FRESH_FILE_H_

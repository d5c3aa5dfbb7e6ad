// The run: one pass over the header, the replacement, and every message the tool prints.
#ifndef TALLIER_RUN_H_
#define TALLIER_RUN_H_

#include "common.h"

namespace tallier {

/// Advances the counter as `settings` say, reports on standard output, returns the exit status.
ExitStatus runTallier(const RunSettings& settings);

}  // namespace tallier

#endif  // TALLIER_RUN_H_

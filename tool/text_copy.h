// Copying the rest of a file as text, on every system, through a buffer the caller owns.
#ifndef TALLIER_TEXT_COPY_H_
#define TALLIER_TEXT_COPY_H_

#include <cstddef>

#include "platform.h"

namespace tallier {

/// Big enough to read a header at the speed of copying it, small enough that a large header
/// costs no more memory than a small one.
constexpr size_t kCopyBufferSize = 128 * 1024;

/// Where a bulk copy failed.
enum class CopyError { kNone, kRead, kWrite };

/// Copies what is left of `from` to the end of `to`, as readText and writeText would, through
/// `buffer` of `size` bytes.
CopyError copyRest(File& from, File& to, char* buffer, size_t size);

}  // namespace tallier

#endif  // TALLIER_TEXT_COPY_H_

#include "text_copy.h"

namespace tallier {

CopyError copyRest(File& from, File& to, char* buffer, size_t size) {
  copyDirect(from, to);
  for (;;) {
    const ptrdiff_t got = readText(from, buffer, size);
    if (got < 0)
      return CopyError::kRead;
    if (got == 0)
      return CopyError::kNone;
    if (!writeText(to, buffer, static_cast<size_t>(got)))
      return CopyError::kWrite;
  }
}

}  // namespace tallier

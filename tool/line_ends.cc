#include "line_ends.h"

namespace tallier {

size_t LineEndFolding::resume(char* data) {
  if (!held_)
    return 0;
  data[0] = '\r';
  held_ = false;
  return 1;
}

size_t LineEndFolding::fold(char* data, size_t size) {
  if (size > 0 && data[size - 1] == '\r') {
    held_ = true;
    --size;
  }
  size_t out = 0;
  for (size_t in = 0; in < size; ++in) {
    if (data[in] == '\r' && in + 1 < size && data[in + 1] == '\n')
      continue;
    data[out++] = data[in];
  }
  return out;
}

size_t expandLineEnds(const char* data, size_t size, char* out, size_t room, size_t& taken) {
  size_t used = 0;
  for (taken = 0; taken < size && used + 2 <= room; ++taken) {
    if (data[taken] == '\n')
      out[used++] = '\r';
    out[used++] = data[taken];
  }
  return used;
}

}  // namespace tallier

// Line ends in the Windows convention, converted in memory: CR LF read as LF, LF written as
// CR LF, every other byte (a lone CR, Ctrl-Z) kept. Only Windows reads and writes text through
// it, but nothing here touches a file, so that every system builds and tests it.
#ifndef TALLIER_LINE_ENDS_H_
#define TALLIER_LINE_ENDS_H_

#include <cstddef>

namespace tallier {

/// Folds each CR LF into LF, in place, in a text that arrives in chunks. A CR that ends a
/// chunk may be the first half of a CR LF split between two: it is held back until the next
/// chunk, or the text's end, shows.
class LineEndFolding {
 public:
  /// Puts the CR held back, if any, at data[0]; returns where the next chunk goes after it.
  size_t resume(char* data);
  /// Folds data[0, size), what resume put there and the chunk after it, in place; returns the
  /// size folded. A CR at the end is held back, left out of it.
  size_t fold(char* data, size_t size);
  /// A CR is held back: at the text's end, it is the last byte.
  bool holding() const { return held_; }

 private:
  bool held_ = false;
};

/// Copies data[0, size) to `out`, of `room` bytes (2 at least), each LF as CR LF, as far as it
/// fits; returns the bytes of `out` used and sets `taken` to the bytes of `data` they hold.
size_t expandLineEnds(const char* data, size_t size, char* out, size_t room, size_t& taken);

}  // namespace tallier

#endif  // TALLIER_LINE_ENDS_H_

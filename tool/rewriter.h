// Recognises the counter's definition on a header line and rewrites its number.
#ifndef TALLIER_REWRITER_H_
#define TALLIER_REWRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tallier {

/// What is known about the current line so far.
enum class LineVerdict {
  kPending,    ///< undecided: offer the rest of the line
  kPlain,      ///< not the counter: the whole line is copied unchanged
  kCounter,    ///< the counter: its number is replaced by the new value
  kOutOfRange  ///< the counter, but its number or the new value does not fit 32 bits
};

/// The outcome of scanning one piece of a line.
struct LineStep {
  LineVerdict verdict = LineVerdict::kPending;
  /// Bytes at the front of the piece that the copy takes unchanged before anything else.
  size_t keep = 0;
  /// Bytes after those that belong to the old number and are left out. While pending, the
  /// bytes after keep + skip (at most two) must be offered again at the front of the next piece.
  size_t skip = 0;
  /// With kCounter: the new value, written in place of the old number.
  int32_t value = 0;
};

/// Reads a line in pieces of any size, holding no more than a few counters between them, so
/// that a line of any length is recognised and rewritten without being held in memory.
class DefineLineRewriter {
 public:
  DefineLineRewriter(std::string_view macroName, int32_t increment);

  /// Forgets the previous line; the next piece begins a line.
  void startLine();

  /// Like startLine, for the first line of the text, which may begin with a UTF-8 signature
  /// that editors hide: it is copied unchanged and does not count against "#define".
  void startText();

  /// Scans the next piece of the current line; a piece never reaches past the line feed.
  /// `textEnds` says that nothing follows the piece, so the line is settled.
  LineStep rewriteDefineLine(std::string_view piece, bool textEnds = false);

 private:
  enum class Stage { kSignature, kDirective, kName, kFiller, kSpace, kDigits, kRunTail, kDecided };

  LineStep decide(LineVerdict verdict, size_t keep);
  LineStep finishNumber(size_t spanStart, size_t spanEnd);

  std::string name_;
  /// For each prefix of the name, the length of its longest proper border (for the search).
  std::vector<size_t> border_;
  int32_t increment_;

  Stage stage_ = Stage::kDirective;
  size_t matched_ = 0;
  bool skippedSpace_ = false;
  bool negative_ = false;
  bool coversRun_ = false;
  int64_t magnitude_ = 0;
  size_t digits_ = 0;
};

}  // namespace tallier

#endif  // TALLIER_REWRITER_H_

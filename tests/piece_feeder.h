// Offers one line to the rewriter in pieces, the way the pass does when the line straddles
// its reads, and assembles what the copy receives.
#ifndef TALLIER_TESTS_PIECE_FEEDER_H_
#define TALLIER_TESTS_PIECE_FEEDER_H_

#include <algorithm>
#include <string>
#include <string_view>

#include "rewriter.h"

namespace tallier {

/// What the pass makes of one line: its verdict and what the copy receives (nothing when
/// the number is out of range). The text holds the new value's digits.
struct Fed {
  LineVerdict verdict;
  std::string text;
  bool operator==(const Fed& other) const { return verdict == other.verdict && text == other.text; }
};

/// Feeds `line` in pieces of the sizes `nextSize()` gives (0: the rest), offering the bytes
/// the rewriter leaves pending again at the front of the next piece.
template <typename NextSize>
Fed feedPieces(std::string_view line, std::string_view name, int32_t increment, NextSize nextSize) {
  DefineLineRewriter rewriter(name, increment);
  rewriter.startLine();
  std::string text;
  size_t pos = 0;
  size_t carried = 0;
  LineStep step;
  for (;;) {
    const size_t rest = line.size() - pos;
    const bool ends = pos + carried >= line.size();
    const size_t size = nextSize();
    const std::string_view piece =
        line.substr(pos, ends || size == 0 ? rest : std::clamp(size, carried + 1, rest));
    step = rewriter.rewriteDefineLine(piece, ends);
    text.append(piece.substr(0, step.keep));
    if (step.verdict != LineVerdict::kPending || ends)
      break;
    pos += step.keep + step.skip;
    carried = piece.size() - step.keep - step.skip;
  }
  if (step.verdict == LineVerdict::kOutOfRange)
    return {step.verdict, ""};
  if (step.verdict == LineVerdict::kCounter)
    text += std::to_string(step.value);
  return {step.verdict, text.append(line.substr(pos + step.keep + step.skip))};
}

}  // namespace tallier

#endif  // TALLIER_TESTS_PIECE_FEEDER_H_

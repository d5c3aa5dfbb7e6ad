#include "rewriter.h"

#include "common.h"

namespace tallier {

namespace {

constexpr std::string_view kDirective = "#define";

// The byte order mark in UTF-8, which some editors put before the first line.
constexpr std::string_view kSignature = "\xEF\xBB\xBF";

// Between the name and the number: spaces, and bytes below 10 when read as signed 8-bit
// numbers (0x01 to 0x09 and 0x80 to 0xFF). The zero byte and the line-end controls are not.
bool isFiller(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == ' ' || (byte >= 1 && byte <= 9) || byte >= 0x80;
}

}  // namespace

DefineLineRewriter::DefineLineRewriter(std::string_view macroName, int32_t increment)
    : name_(macroName), border_(macroName.size(), 0), increment_(increment) {
  // Knuth-Morris-Pratt borders: the name is searched across pieces without looking back.
  for (size_t i = 1, k = 0; i < name_.size(); ++i) {
    while (k > 0 && name_[i] != name_[k])
      k = border_[k - 1];
    if (name_[i] == name_[k])
      ++k;
    border_[i] = k;
  }
}

void DefineLineRewriter::startLine() {
  stage_ = Stage::kDirective;
  matched_ = 0;
  skippedSpace_ = false;
  negative_ = false;
  coversRun_ = false;
  magnitude_ = 0;
  digits_ = 0;
}

void DefineLineRewriter::startText() {
  startLine();
  stage_ = Stage::kSignature;
}

LineStep DefineLineRewriter::decide(LineVerdict verdict, size_t keep) {
  stage_ = Stage::kDecided;
  LineStep step;
  step.verdict = verdict;
  step.keep = keep;
  return step;
}

LineStep DefineLineRewriter::finishNumber(size_t spanStart, size_t spanEnd) {
  const int64_t old = negative_ ? -magnitude_ : magnitude_;
  const int64_t next = old + increment_;
  if (old < INT32_MIN || old > INT32_MAX || next < INT32_MIN || next > INT32_MAX)
    return decide(LineVerdict::kOutOfRange, spanStart);
  LineStep step = decide(LineVerdict::kCounter, spanStart);
  step.skip = spanEnd - spanStart;
  step.value = static_cast<int32_t>(next);
  return step;
}

LineStep DefineLineRewriter::rewriteDefineLine(std::string_view piece, bool textEnds) {
  if (stage_ == Stage::kDecided)
    return decide(LineVerdict::kPlain, 0);
  // Where the old number begins in this piece: at the front when it began in an earlier one.
  size_t spanStart = (stage_ == Stage::kDigits || stage_ == Stage::kRunTail) ? 0 : piece.size();
  for (size_t i = 0; i < piece.size(); ++i) {
    const char c = piece[i];
    switch (stage_) {
      case Stage::kSignature:
        if (c == kSignature[matched_]) {
          if (++matched_ == kSignature.size()) {
            matched_ = 0;
            stage_ = Stage::kDirective;
          }
          break;
        }
        if (matched_ > 0)
          return decide(LineVerdict::kPlain, i);
        stage_ = Stage::kDirective;
        [[fallthrough]];
      case Stage::kDirective:
        if (c != kDirective[matched_])
          return decide(LineVerdict::kPlain, i);
        if (++matched_ == kDirective.size()) {
          matched_ = 0;
          stage_ = name_.empty() ? Stage::kFiller : Stage::kName;
        }
        break;
      case Stage::kName:
        if (c == '\n')
          return decide(LineVerdict::kPlain, i);
        while (matched_ > 0 && piece[i] != name_[matched_])
          matched_ = border_[matched_ - 1];
        if (piece[i] == name_[matched_])
          ++matched_;
        if (matched_ == name_.size())
          stage_ = Stage::kFiller;
        break;
      case Stage::kFiller:
        if (isFiller(c))
          break;
        stage_ = Stage::kSpace;
        [[fallthrough]];
      case Stage::kSpace:
        if (c == '\n')
          return decide(LineVerdict::kPlain, i);
        if (isConversionSpace(c)) {
          skippedSpace_ = true;
          break;
        }
        if (c == '+' || c == '-') {
          // The sign counts only before a digit; keep it to look again with the next piece.
          if (i + 1 == piece.size() && !textEnds)
            return LineStep{LineVerdict::kPending, i, 0, 0};
          if (i + 1 == piece.size() || !isDigit(piece[i + 1]))
            return decide(LineVerdict::kPlain, i);
          negative_ = c == '-';
        } else if (isDigit(c)) {
          magnitude_ = c - '0';
          digits_ = 1;
        } else {
          return decide(LineVerdict::kPlain, i);
        }
        // A number right where the filler ends also takes in the "-" and digits after it,
        // so that text such as 5-3 is replaced whole.
        coversRun_ = !skippedSpace_ && c != '+';
        spanStart = i;
        stage_ = Stage::kDigits;
        break;
      case Stage::kDigits:
        if (isDigit(c)) {
          ++digits_;
          magnitude_ = magnitude_ * 10 + (c - '0');
          if (magnitude_ > kMagnitudeCap)
            magnitude_ = kMagnitudeCap;
          break;
        }
        // 0x1F is a hexadecimal number, not a counter of 0 followed by text.
        if (digits_ == 1 && magnitude_ == 0 && (c == 'x' || c == 'X'))
          return decide(LineVerdict::kPlain, i);
        if (coversRun_ && c == '-') {
          stage_ = Stage::kRunTail;
          break;
        }
        return finishNumber(spanStart, i);
      case Stage::kRunTail:
        if (isDigit(c) || c == '-')
          break;
        return finishNumber(spanStart, i);
      case Stage::kDecided:
        break;
    }
  }
  if (stage_ != Stage::kDigits && stage_ != Stage::kRunTail)
    return textEnds ? decide(LineVerdict::kPlain, piece.size())
                    : LineStep{LineVerdict::kPending, piece.size(), 0, 0};
  if (textEnds)
    return finishNumber(spanStart, piece.size());
  // A lone 0 may yet turn out to start 0x...: it is looked at again with the next piece,
  // rather than left out before the line is known to be the counter.
  if (digits_ == 1 && magnitude_ == 0 && spanStart < piece.size()) {
    stage_ = Stage::kSpace;
    negative_ = false;
    digits_ = 0;
    return LineStep{LineVerdict::kPending, spanStart, 0, 0};
  }
  return LineStep{LineVerdict::kPending, spanStart, piece.size() - spanStart, 0};
}

}  // namespace tallier

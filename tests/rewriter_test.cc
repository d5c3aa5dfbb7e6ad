#include "rewriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace tallier {
namespace {

using namespace std::string_literals;
constexpr LineVerdict kPlain = LineVerdict::kPlain;
constexpr LineVerdict kCounter = LineVerdict::kCounter;
constexpr LineVerdict kOutOfRange = LineVerdict::kOutOfRange;

// Offers `line` in pieces of `size` bytes (0: whole), the way the pass does when the line
// straddles its reads, with the bytes the rewriter leaves pending again at the front of the
// next piece; `startsText` makes it the text's first line. Returns the verdict and what the copy
// receives: nothing when out of range.
std::pair<LineVerdict, std::string> feed(std::string_view line, const std::string& name,
                                         int32_t increment, size_t size, bool startsText = false) {
  DefineLineRewriter rewriter(name, increment);
  startsText ? rewriter.startText() : rewriter.startLine();
  std::string text;
  size_t pos = 0, carried = 0;
  LineStep step;
  for (bool ends = false; !ends;) {
    const size_t rest = line.size() - pos;
    ends = pos + carried >= line.size();
    const std::string_view piece =
        line.substr(pos, ends || size == 0 ? rest : std::clamp(size, carried + 1, rest));
    step = rewriter.rewriteDefineLine(piece, ends);
    text.append(piece.substr(0, step.keep));
    if (step.verdict != LineVerdict::kPending)
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

struct Row {
  std::string line;
  LineVerdict verdict;
  std::string expected;  // with kCounter: the line rewritten
  int32_t increment = 1;
  bool startsText = false;
  std::string name = "BuildCount";
};

const Row kRows[] = {
    // The number is replaced; what surrounds it stays byte for byte.
    {"#define BuildCount 41\n", kCounter, "#define BuildCount 42\n"},
    {"#define BuildCount 9", kCounter, "#define BuildCount 10"},
    {"#define BuildCount 0\n", kCounter, "#define BuildCount -1\n", -1},
    {"#define BuildCount 0000000000000000000000000000005\n", kCounter, "#define BuildCount 6\n"},
    {"#define BuildCount -5-3\n", kCounter, "#define BuildCount -4\n"},
    {"#define BuildCount 5L\r\n", kCounter, "#define BuildCount 6L\r\n"},
    {"#define BuildCount\x01\t\xa0\xff 41\n", kCounter, "#define BuildCount\x01\t\xa0\xff 42\n"},
    {"#define BuildCount 5\0tail\n"s, kCounter, "#define BuildCount 6\0tail\n"s},
    // The replaced text is what the conversion read, and the run of digits and "-" after it
    // only when the number starts right where the filler ends.
    {"#define BuildCount +5-3\n", kCounter, "#define BuildCount 6-3\n"},
    {"#define BuildCount \v5-3\n", kCounter, "#define BuildCount \v6-3\n"},
    {"#define BuildCount\f\r7\n", kCounter, "#define BuildCount\f\r8\n"},
    // Where the name stands: anywhere after the directive, first occurrence only.
    {"#define OldBuildCount 3\n", kCounter, "#define OldBuildCount 4\n"},
    {"#define X 5 /* BuildCount 7 */\n", kCounter, "#define X 5 /* BuildCount 8 */\n"},
    {"#define aaab 1\n", kCounter, "#define aaab 2\n", 1, false, "aab"},
    {"#define 5\n", kCounter, "#define 6\n", 1, false, ""},
    {"#define BuildCount 5\n", kPlain, "", 1, false, ""},
    // A UTF-8 signature counts only where the text starts, and only whole and once.
    {"\xEF\xBB\xBF#define BuildCount 9", kCounter, "\xEF\xBB\xBF#define BuildCount 10", 1, true},
    {"#define BuildCount 41\n", kCounter, "#define BuildCount 42\n", 1, true},
    {"\xEF\xBB\xBF#define BuildCount 41\n", kPlain, ""},
    {"\xEF\xBB#define BuildCount 41\n", kPlain, "", 1, true},
    {"\357\273efine BuildCount 41\n", kPlain, "", 1, true},
    {"\xEF\xBB\xBF\xEF\xBB\xBF#define BuildCount 41\n", kPlain, "", 1, true},
    {"#define BuildCount BuildCount 5\n", kPlain, ""},
    // Not a counter line.
    {" #define BuildCount 5\n", kPlain, ""},
    {"#define BuildCountMax 7\n", kPlain, ""},
    {"#define BuildCount", kPlain, ""},
    {"#define BuildCount \r\n", kPlain, ""},
    {"#define BuildCount \0 5\n"s, kPlain, ""},
    {"#define BuildCount -0X1F\n", kPlain, ""},
    {"#define BuildCount --5\n", kPlain, ""},
    {"#define BuildCount +", kPlain, ""},
    // Values at and past the 32-bit limits, the old one and the new one alike.
    {"#define BuildCount 2147483646\n", kCounter, "#define BuildCount 2147483647\n"},
    {"#define BuildCount -2147483648\n", kCounter, "#define BuildCount -2147483647\n"},
    {"#define BuildCount -2147483647\n", kCounter, "#define BuildCount -2147483648\n", -1},
    {"#define BuildCount 2147483647\n", kOutOfRange, ""},
    {"#define BuildCount -2147483648\n", kOutOfRange, "", -1},
    {"#define BuildCount -2147483649\n", kOutOfRange, ""},
    {"#define BuildCount 2147483649\n", kOutOfRange, "", -2},
    {"#define BuildCount 4294967297\n", kOutOfRange, ""},
    {"#define BuildCount 18446744073709551617\n", kOutOfRange, ""},
    {"#define BuildCount 1\n", kOutOfRange, "", INT32_MAX},
};

// Pieces of a few bytes, and 0 for the whole line.
constexpr size_t kPieceSizes[] = {1, 2, 3, 7, 0};

TEST(DefineLineRewriterTest, RewritesTheSameWhateverThePieces) {
  for (const Row& row : kRows) {
    const std::string expected = row.verdict == kPlain ? row.line : row.expected;
    for (const size_t size : kPieceSizes) {
      SCOPED_TRACE("line \"" + row.line + "\" in pieces of " + std::to_string(size));
      // The copy receives the new value's digits, so the text also checks the value.
      EXPECT_EQ(feed(row.line, row.name, row.increment, size, row.startsText),
                std::make_pair(row.verdict, expected));
    }
  }
}

TEST(DefineLineRewriterTest, FindsTheCounterPastAnyLength) {
  const std::string padding(300000, ' ');
  const std::string line = "#define X" + padding + "/* BuildCount" + padding + "12 */\n";
  EXPECT_EQ(
      feed(line, "BuildCount", 30, 4096),
      std::make_pair(kCounter, "#define X" + padding + "/* BuildCount" + padding + "42 */\n"));
}

}  // namespace
}  // namespace tallier

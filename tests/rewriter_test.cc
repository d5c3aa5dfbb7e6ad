#include "rewriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tallier {
namespace {

struct Rewritten {
  LineVerdict verdict;
  std::string text;  // what the copy receives; empty when the number is out of range
  int32_t value;
};

// Offers `line` in pieces of at most `pieceSize` bytes, the way the pass does when a line
// straddles its reads, and assembles what the copy receives.
Rewritten feed(std::string_view line, std::string_view name, int32_t increment, size_t pieceSize) {
  DefineLineRewriter rewriter(name, increment);
  rewriter.startLine();
  std::string out;
  size_t pos = 0;
  size_t carried = 0;
  LineStep step;
  while (pos + carried < line.size()) {
    const std::string_view piece = line.substr(pos, std::max(pieceSize, carried + 1));
    step = rewriter.rewriteDefineLine(piece);
    out.append(piece.substr(0, step.keep));
    if (step.verdict != LineVerdict::kPending)
      break;
    pos += step.keep + step.skip;
    carried = piece.size() - step.keep - step.skip;
  }
  if (step.verdict == LineVerdict::kPending) {
    const std::string_view rest = line.substr(pos);
    step = rewriter.rewriteDefineLine(rest, true);
    out.append(rest.substr(0, step.keep));
  }
  switch (step.verdict) {
    case LineVerdict::kOutOfRange:
      return {step.verdict, "", 0};
    case LineVerdict::kCounter:
      out += std::to_string(step.value);
      break;
    default:
      break;
  }
  out.append(line.substr(std::min(line.size(), pos + step.keep + step.skip)));
  return {step.verdict, out, step.value};
}

struct Row {
  std::string line;
  std::string expected;  // the same as `line` when it does not qualify
  int32_t value = 0;     // with kCounter
  LineVerdict verdict = LineVerdict::kCounter;
  int32_t increment = 1;
  std::string name = "BuildCount";
};

constexpr LineVerdict kPlain = LineVerdict::kPlain;
constexpr LineVerdict kOutOfRange = LineVerdict::kOutOfRange;
using namespace std::string_literals;

const Row kRows[] = {
    // The number is replaced; what surrounds it stays byte for byte.
    {"#define BuildCount 41\n", "#define BuildCount 42\n", 42},
    {"#define BuildCount 9", "#define BuildCount 10", 10},
    {"#define BuildCount -1\n", "#define BuildCount 0\n", 0},
    {"#define BuildCount 0\n", "#define BuildCount -1\n", -1, LineVerdict::kCounter, -1},
    {"#define BuildCount 41\n", "#define BuildCount 41\n", 41, LineVerdict::kCounter, 0},
    {"#define BuildCount 007\n", "#define BuildCount 8\n", 8},
    {"#define BuildCount 0000000000000000000000000000005\n", "#define BuildCount 6\n", 6},
    {"#define BuildCount 5-3\n", "#define BuildCount 6\n", 6},
    {"#define BuildCount -5-3\n", "#define BuildCount -4\n", -4},
    {"#define BuildCount 12 // build\n", "#define BuildCount 13 // build\n", 13},
    {"#define BuildCount 5L\n", "#define BuildCount 6L\n", 6},
    {"#define BuildCount 41\r\n", "#define BuildCount 42\r\n", 42},
    {"#define BuildCount\t \t41\n", "#define BuildCount\t \t42\n", 42},
    {"#define BuildCount\x01\xa0\xff 41\n", "#define BuildCount\x01\xa0\xff 42\n", 42},
    {"#define BuildCount 5\0tail\n"s, "#define BuildCount 6\0tail\n"s, 6},
    {"#define BuildCount 5 /* 0x10 */\n", "#define BuildCount 6 /* 0x10 */\n", 6},
    // Where the name stands: anywhere after the directive, first occurrence only.
    {"#define OldBuildCount 3\n", "#define OldBuildCount 4\n", 4},
    {"#define X 5 /* BuildCount 7 */\n", "#define X 5 /* BuildCount 8 */\n", 8},
    {"#defineBuildCount 5\n", "#defineBuildCount 6\n", 6},
    {"#define BuildBuildCount 5\n", "#define BuildBuildCount 6\n", 6},
    {"#define aaab 1\n", "#define aaab 2\n", 2, LineVerdict::kCounter, 1, "aab"},
    {"#define 5\n", "#define 6\n", 6, LineVerdict::kCounter, 1, ""},
    {"#define BuildCount 5\n", "#define BuildCount 5\n", 0, kPlain, 1, ""},
    {"#define BuildCount BuildCount 5\n", "#define BuildCount BuildCount 5\n", 0, kPlain},
    {"#define buildcount 5\n", "#define buildcount 5\n", 0, kPlain},
    {"#define Build\0Count 5\n"s, "#define Build\0Count 5\n"s, 0, kPlain},
    // Not a counter line.
    {" #define BuildCount 5\n", " #define BuildCount 5\n", 0, kPlain},
    {"#defin BuildCount 5\n", "#defin BuildCount 5\n", 0, kPlain},
    {"#define BuildCountMax 7\n", "#define BuildCountMax 7\n", 0, kPlain},
    {"#define BuildCount\n", "#define BuildCount\n", 0, kPlain},
    {"#define BuildCount", "#define BuildCount", 0, kPlain},
    {"#define BuildCount  \t\n", "#define BuildCount  \t\n", 0, kPlain},
    {"#define BuildCount \r\n", "#define BuildCount \r\n", 0, kPlain},
    {"#define BuildCount \0 5\n"s, "#define BuildCount \0 5\n"s, 0, kPlain},
    {"#define BuildCount 0x1F\n", "#define BuildCount 0x1F\n", 0, kPlain},
    {"#define BuildCount 0X1F\n", "#define BuildCount 0X1F\n", 0, kPlain},
    {"#define BuildCount -0x1F\n", "#define BuildCount -0x1F\n", 0, kPlain},
    {"#define BuildCount -x\n", "#define BuildCount -x\n", 0, kPlain},
    {"#define BuildCount --5\n", "#define BuildCount --5\n", 0, kPlain},
    {"#define BuildCount +", "#define BuildCount +", 0, kPlain},
    {"#define BuildCount -", "#define BuildCount -", 0, kPlain},
    // The replaced text is what the conversion read, and the run of digits and "-" after it
    // only when the number starts right where the filler ends.
    {"#define BuildCount +5\n", "#define BuildCount 6\n", 6},
    {"#define BuildCount +5-3\n", "#define BuildCount 6-3\n", 6},
    {"#define BuildCount \v5-3\n", "#define BuildCount \v6-3\n", 6},
    {"#define BuildCount \f -7\n", "#define BuildCount \f -6\n", -6},
    // Values at and past the 32-bit limits.
    {"#define BuildCount 2147483646\n", "#define BuildCount 2147483647\n", INT32_MAX},
    {"#define BuildCount -2147483648\n", "#define BuildCount -2147483647\n", -2147483647},
    {"#define BuildCount -2147483647\n", "#define BuildCount -2147483648\n", INT32_MIN,
     LineVerdict::kCounter, -1},
    {"#define BuildCount 2147483647\n", "", 0, kOutOfRange},
    {"#define BuildCount -2147483648\n", "", 0, kOutOfRange, -1},
    {"#define BuildCount 2147483648\n", "", 0, kOutOfRange, 0},
    {"#define BuildCount 4294967297\n", "", 0, kOutOfRange},
    {"#define BuildCount 99999999999999999999999999\n", "", 0, kOutOfRange},
    {"#define BuildCount 1\n", "", 0, kOutOfRange, INT32_MAX},
};

TEST(DefineLineRewriterTest, RewritesTheSameWhateverThePieces) {
  for (const Row& row : kRows) {
    for (size_t pieceSize : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, row.line.size()}) {
      const Rewritten got = feed(row.line, row.name, row.increment, pieceSize);
      SCOPED_TRACE("line \"" + row.line + "\" in pieces of " + std::to_string(pieceSize));
      EXPECT_EQ(got.verdict, row.verdict);
      EXPECT_EQ(got.text, row.expected);
      if (row.verdict == LineVerdict::kCounter) {
        EXPECT_EQ(got.value, row.value);
      }
    }
  }
}

TEST(DefineLineRewriterTest, FindsTheCounterPastAnyLength) {
  const std::string padding(300000, ' ');
  const std::string line = "#define X" + padding + "/* BuildCount" + padding + "12 */\n";
  const Rewritten got = feed(line, "BuildCount", 30, 4096);
  EXPECT_EQ(got.verdict, LineVerdict::kCounter);
  EXPECT_EQ(got.value, 42);
  EXPECT_EQ(got.text, "#define X" + padding + "/* BuildCount" + padding + "42 */\n");
}

TEST(DefineLineRewriterTest, StartLineForgetsThePreviousLine) {
  DefineLineRewriter rewriter("BuildCount", 1);
  rewriter.startLine();
  EXPECT_EQ(rewriter.rewriteDefineLine("#define Build").verdict, LineVerdict::kPending);
  rewriter.startLine();
  EXPECT_EQ(rewriter.rewriteDefineLine("Count 5\n").verdict, LineVerdict::kPlain);
  rewriter.startLine();
  const LineStep step = rewriter.rewriteDefineLine("#define BuildCount 5\n");
  EXPECT_EQ(step.verdict, LineVerdict::kCounter);
  EXPECT_EQ(step.value, 6);
}

}  // namespace
}  // namespace tallier

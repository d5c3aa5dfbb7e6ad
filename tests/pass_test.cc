// The pass over headers in memory, through every buffer size from the smallest up, so that each
// byte of a text ends a read in turn, and so each line is offered to the rewriter in every way
// the pass can cut it; readText, writeText and copyDirect (defined here) stand in for the
// system's.
#include "pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common.h"

namespace tallier {
namespace {

// The header, how much of it was read, and the copy; the pass's buffer ends at `limit`, set by
// the first read, which fills it from the start. Reads and writes are counted from 1 in
// `calls`; the one numbered `failing` fails, and `failed` says whether it read or wrote.
struct Texts {
  std::string header, copy;
  size_t read = 0, size = 0;
  const char* limit = nullptr;
  int calls = 0, failing = 0;
  char failed = 0;
  bool ok(char kind) { return ++calls != failing || (failed = kind, false); }
} texts;

}  // namespace

ptrdiff_t readText(File&, char* data, size_t size) {
  texts.limit = texts.limit ? texts.limit : data + texts.size;
  EXPECT_LE(data + size, texts.limit) << "a read past the buffer";
  if (!texts.ok('r'))
    return -1;
  size = std::min(size, texts.header.size() - texts.read);
  std::memcpy(data, texts.header.data() + texts.read, size);
  texts.read += size;
  return static_cast<ptrdiff_t>(size);
}
bool writeText(File&, const char* data, size_t size) {
  return texts.ok('w') && (texts.copy.append(data, size), true);
}
// The system copies a little and stops short: readText and writeText carry the rest.
void copyDirect(File&, File&) {
  const size_t size = std::min<size_t>(3, texts.header.size() - texts.read);
  texts.copy.append(texts.header, texts.read, size);
  texts.read += size;
}

namespace {

using namespace std::string_literals;
using P = PassOutcome;

struct Row {
  std::string text;
  P outcome;
  std::string copy = "";  // with kRewritten; with kNotFound the copy is the text
  int32_t increment = 1;
  std::string name = "BuildCount";
};

// clang-format off
const Row kRows[] = {
    // The number is replaced; what surrounds it stays byte for byte.
    {"#define BuildCount 41\n", P::kRewritten, "#define BuildCount 42\n"},
    {"#define BuildCount 9", P::kRewritten, "#define BuildCount 10"},
    {"#define BuildCount 0\n", P::kRewritten, "#define BuildCount -1\n", -1},
    {"#define BuildCount 0000000000000000000000000000005\n", P::kRewritten, "#define BuildCount 6\n"},
    {"#define BuildCount -5-3\n", P::kRewritten, "#define BuildCount -4\n"},
    {"#define BuildCount 5L\r\n", P::kRewritten, "#define BuildCount 6L\r\n"},
    {"#define BuildCount\x01\t\xa0\xff 41\n", P::kRewritten, "#define BuildCount\x01\t\xa0\xff 42\n"},
    {"#define BuildCount 5\0tail\n"s, P::kRewritten, "#define BuildCount 6\0tail\n"s},
    // The replaced text is what the conversion read, and the run of digits and "-" after it
    // only when the number starts right where the filler ends.
    {"#define BuildCount +5-3\n", P::kRewritten, "#define BuildCount 6-3\n"},
    {"#define BuildCount \v5-3\n", P::kRewritten, "#define BuildCount \v6-3\n"},
    {"#define BuildCount\f\r7\n", P::kRewritten, "#define BuildCount\f\r8\n"},
    // Where the name stands: anywhere after the directive, first occurrence only.
    {"#define OldBuildCount 3\n", P::kRewritten, "#define OldBuildCount 4\n"},
    {"#define X 5 /* BuildCount 7 */\n", P::kRewritten, "#define X 5 /* BuildCount 8 */\n"},
    {"#define aaab 1\n", P::kRewritten, "#define aaab 2\n", 1, "aab"},
    {"#define 5\n", P::kRewritten, "#define 6\n", 1, ""},
    {"#define BuildCount 5\n", P::kNotFound, "", 1, ""},
    {"#define BuildCount BuildCount 5\n", P::kNotFound},
    // A UTF-8 signature counts only where the text starts, and only whole and once.
    {"\xEF\xBB\xBF#define BuildCount 9", P::kRewritten, "\xEF\xBB\xBF#define BuildCount 10"},
    {"// x\n\xEF\xBB\xBF#define BuildCount 1\n#define BuildCount 5", P::kRewritten,
     "// x\n\xEF\xBB\xBF#define BuildCount 1\n#define BuildCount 6"},
    {"\xEF\xBB#define BuildCount 41\n", P::kNotFound},
    {"\357\273efine BuildCount 41\n", P::kNotFound},
    {"\xEF\xBB\xBF\xEF\xBB\xBF#define BuildCount 41\n", P::kNotFound},
    // Not a counter line.
    {" #define BuildCount 5\n#define BuildCountMax 7\n#define BuildCount", P::kNotFound},
    {"#define BuildCount \r\n#define BuildCount \0 5\n"s, P::kNotFound},
    {"#define BuildCount -0X1F\n#define BuildCount --5\n#define BuildCount +", P::kNotFound},
    {"#define BuildCount x\n#define X 1\nBuildCount 5\n", P::kNotFound},
    {"", P::kNotFound},
    // Values at and past the 32-bit limits, the old one and the new one alike.
    {"#define BuildCount 2147483646\n", P::kRewritten, "#define BuildCount 2147483647\n"},
    {"#define BuildCount -2147483648\n", P::kRewritten, "#define BuildCount -2147483647\n"},
    {"#define BuildCount -2147483647\n", P::kRewritten, "#define BuildCount -2147483648\n", -1},
    {"#define BuildCount 2147483647\n", P::kOutOfRange},
    {"#define BuildCount -2147483648\n", P::kOutOfRange, "", -1},
    {"#define BuildCount -2147483649", P::kOutOfRange},
    {"#define BuildCount 2147483649\n", P::kOutOfRange, "", -2},
    {"#define BuildCount 4294967297\n", P::kOutOfRange},
    {"#define BuildCount 18446744073709551617\n", P::kOutOfRange},
    {"// x\n#define BuildCount 1\n#define BuildCount 1\n", P::kOutOfRange, "", INT32_MAX},
    // The first line that holds the counter, wherever lines and reads end.
    {"// a first line longer than many a read\n#define BuildCount 41\n// end\n", P::kRewritten,
     "// a first line longer than many a read\n#define BuildCount 42\n// end\n"},
    {"// crlf\r\n#define BuildCount 9\r\n#define BuildCount 1\r\n", P::kRewritten,
     "// crlf\r\n#define BuildCount 10\r\n#define BuildCount 1\r\n"},
    {"// #define BuildCount 1 # #define BuildCount 2\n\n#define BuildCount 7\r", P::kRewritten,
     "// #define BuildCount 1 # #define BuildCount 2\n\n#define BuildCount 8\r"},
    {"#define BuildCount -x\n#define BuildCount 0x1F\n#define BuildCount -05-3 +1\n", P::kRewritten,
     "#define BuildCount -x\n#define BuildCount 0x1F\n#define BuildCount -4 +1\n"},
    {"#define BuildCount\n#define BuildCount -0\n", P::kRewritten,
     "#define BuildCount\n#define BuildCount 1\n"},
    {"#define X /* a comment longer than many a read */ BuildCount 99", P::kRewritten,
     "#define X /* a comment longer than many a read */ BuildCount 100"},
};
// clang-format on

// Runs the pass over `text` through a buffer of `size` bytes, with call number `failing` failing.
P pass(const std::string& text, size_t size, int failing, int32_t& value, int32_t increment = 1,
       const std::string& name = "BuildCount") {
  texts = Texts();
  texts.header = text, texts.size = size, texts.failing = failing;
  File header, copy;
  return copyAdvancingCounter(header, copy, name, increment, size, value);
}

// The new value: the number that the copy holds where it first differs from the text.
int32_t newValue(const std::string& text, const std::string& copy) {
  auto at = std::mismatch(text.begin(), text.end(), copy.begin(), copy.end()).second;
  while (at != copy.begin() && (isDigit(at[-1]) || at[-1] == '-'))
    --at;
  return static_cast<int32_t>(std::stol(std::string(at, copy.end())));
}

// The copy, the outcome and the value are those of the whole text read at once, whatever byte
// ends a read; each read or write that fails in turn is reported as such.
TEST(PassTest, EveryBufferSizeAndEveryFailingCall) {
  for (const Row& row : kRows) {
    // Up to sizes that take the longest text in one read.
    for (size_t size = kSmallestPassBuffer; size < 100; ++size) {
      for (int failing = 0, calls = 0; failing <= calls; ++failing) {
        SCOPED_TRACE("size " + std::to_string(size) + ", failing call " + std::to_string(failing) +
                     ", text " + row.text);
        int32_t value = 0;
        const P outcome = pass(row.text, size, failing, value, row.increment, row.name);
        if (failing > 0) {
          ASSERT_EQ(outcome, texts.failed == 'r' ? P::kReadError : P::kWriteError);
          continue;
        }
        calls = texts.calls;
        ASSERT_EQ(outcome, row.outcome);
        if (outcome != P::kOutOfRange) {
          ASSERT_EQ(texts.copy, outcome == P::kRewritten ? row.copy : row.text);
          ASSERT_EQ(value, outcome == P::kRewritten ? newValue(row.text, row.copy) : 0);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tallier

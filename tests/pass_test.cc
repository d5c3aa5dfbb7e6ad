// The pass over headers in memory, through every buffer size from the smallest up, so that each
// byte of a text ends a read in turn; readText, writeText and copyDirect (defined here) stand in
// for the system's.
#include "pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

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

using P = PassOutcome;
struct Row {
  std::string text;
  P outcome;
  int32_t value;
  std::string copy;  // after kRewritten; with kNotFound the text as it was, and value 0
};

// Whatever byte ends a read (a line's, a CR LF's, a signature's, a sign's, a lone 0's, a '#' in
// the middle of a line), the copy, the outcome and the value are those of the whole text read
// at once; and each read or write that fails in turn is reported as such.
TEST(PassTest, EveryBufferSizeAndEveryFailingCall) {
  // clang-format off
  const Row rows[] = {
      {"// a first line longer than many a read\n#define BuildCount 41\n// end\n", P::kRewritten, 42,
       "// a first line longer than many a read\n#define BuildCount 42\n// end\n"},
      {"// crlf\r\n#define BuildCount 9\r\n#define BuildCount 1\r\n", P::kRewritten, 10,
       "// crlf\r\n#define BuildCount 10\r\n#define BuildCount 1\r\n"},
      {"\xEF\xBB\xBF#define BuildCount 5\n", P::kRewritten, 6, "\xEF\xBB\xBF#define BuildCount 6\n"},
      {"// x\n\xEF\xBB\xBF#define BuildCount 1\n#define BuildCount 5", P::kRewritten, 6,
       "// x\n\xEF\xBB\xBF#define BuildCount 1\n#define BuildCount 6"},
      {"// #define BuildCount 1 # #define BuildCount 2\n\n#define BuildCount 7\r", P::kRewritten, 8,
       "// #define BuildCount 1 # #define BuildCount 2\n\n#define BuildCount 8\r"},
      {"#define BuildCount -x\n#define BuildCount 0x1F\n#define BuildCount -05-3 +1\n", P::kRewritten,
       -4, "#define BuildCount -x\n#define BuildCount 0x1F\n#define BuildCount -4 +1\n"},
      {"#define BuildCount\n#define BuildCount -0\n", P::kRewritten, 1,
       "#define BuildCount\n#define BuildCount 1\n"},
      {"#define X /* a comment longer than many a read */ BuildCount 99", P::kRewritten, 100,
       "#define X /* a comment longer than many a read */ BuildCount 100"},
      {"#define BuildCount x\n#define X 1\nBuildCount 5\n #define BuildCount 5\n#define BuildCount",
       P::kNotFound, 0, ""},
      {"", P::kNotFound, 0, ""},
      {"// x\n#define BuildCount 2147483647\n#define BuildCount 1\n", P::kOutOfRange, 0, ""},
      {"#define BuildCount -2147483649", P::kOutOfRange, 0, ""},
  };
  // clang-format on
  for (const Row& row : rows) {
    // Up to sizes that take the longest text in one read.
    for (size_t size = kSmallestPassBuffer; size < 100; ++size) {
      for (int failing = 0, calls = 0; failing <= calls; ++failing) {
        texts = Texts();
        texts.header = row.text, texts.size = size, texts.failing = failing;
        SCOPED_TRACE("size " + std::to_string(size) + ", failing call " + std::to_string(failing) +
                     ", text " + row.text);
        File header, copy;
        int32_t value = 0;
        const P outcome = copyAdvancingCounter(header, copy, "BuildCount", 1, size, value);
        if (failing > 0) {
          ASSERT_EQ(outcome, texts.failed == 'r' ? P::kReadError : P::kWriteError);
          continue;
        }
        calls = texts.calls;
        ASSERT_EQ(outcome, row.outcome);
        if (outcome != P::kOutOfRange) {
          ASSERT_EQ(value, row.value);
          ASSERT_EQ(texts.copy, outcome == P::kRewritten ? row.copy : row.text);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tallier

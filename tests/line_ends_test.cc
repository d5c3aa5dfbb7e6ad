#include "line_ends.h"

#include <gtest/gtest.h>

#include <string>

namespace tallier {

// Each text is read in chunks of every size, each chunk after the CR held back from the one
// before, and the text as read is written again through a buffer of every size.
TEST(LineEndsTest, ConvertTheSameWhateverTheChunks) {
  // in the file | as read | as written again
  // clang-format off
  const std::string rows[][3] = {{"", "", ""}, {"\r", "\r", "\r"}, {"\n", "\n", "\r\n"},
      {"a\r\nb\r\n", "a\nb\n", "a\r\nb\r\n"}, {"a\rb\r", "a\rb\r", "a\rb\r"},
      {"\r\r\n\r\r", "\r\n\r\r", "\r\r\n\r\r"}, {"\n\n\r\n\r\n", "\n\n\n\n", "\r\n\r\n\r\n\r\n"},
      {"\x1a\r\n\r\x1a\n", "\x1a\n\r\x1a\n", "\x1a\r\n\r\x1a\r\n"}};
  // clang-format on
  for (const auto& [file, read, written] : rows)
    for (size_t size = 1; size <= file.size() + 1; ++size) {
      LineEndFolding folding;
      std::string folded, out, buf(size + 1, '\0');
      for (size_t at = 0; at < file.size(); at += size) {
        const size_t start = folding.resume(&buf[0]);
        folded.append(buf, 0, folding.fold(&buf[0], start + file.copy(&buf[start], size, at)));
      }
      EXPECT_EQ(folding.holding() ? folded + '\r' : folded, read) << "in chunks of " << size;
      for (size_t at = 0, taken = 0; at < read.size(); at += taken)
        out.append(buf, 0, expandLineEnds(&read[at], read.size() - at, &buf[0], size + 1, taken));
      EXPECT_EQ(out, written) << "through " << size + 1 << " bytes";
    }
}

}  // namespace tallier

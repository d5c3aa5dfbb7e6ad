#include "common.h"

#include <gtest/gtest.h>

namespace tallier {
namespace {

// A companion's name cuts the path after its file name's last dot; the scratch name turns that
// dot into a tilde, and the file's own spelling of it reads back as the header's. Without one, both
// add to the file name: a directory's dot is not its own.
TEST(CompanionAndScratchNameTest, CutAfterTheFileNamesLastDotOrTurnItIntoATilde) {
  // path | companion *.new | scratch name
  // clang-format off
  const char* const cases[][3] = {{"Version.h", "Version.new", "Version~h"},
      {"Version.hpp", "Version.new", "Version~hpp"}, {"Version", "Versionnew", "Version~"},
      {"a.b.c", "a.b.new", "a.b~c"}, {"Version.new", "Version.new", "Version~new"},
      {"build.d/Version", "build.d/Versionnew", "build.d/Version~"},
      {"/x.d/V.h", "/x.d/V.new", "/x.d/V~h"}, {"x.d/.h", "x.d/.new", "x.d/~h"},
      {"build.d\\Version", "build.d\\Versionnew", "build.d\\Version~"}, {"V.h~", "V.new", "V~h~"}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(companionName(c[0], "new"), c[1]) << c[0];
    EXPECT_EQ(scratchName(c[0]), c[2]) << c[0];
    EXPECT_EQ(ownSpelling(c[0], c[2]), c[0]) << c[0];
  }
  // path | the file system's spelling of its scratch name | the path spelt as the file's own
  // clang-format off
  const char* const spellings[][3] = {{"v/version.h", "V/VERSION~h", "v/VERSION.h"},
      {"V.h", "V~hpp", "V.h"}, {"V.h", "V~i", "V.h"}, {"V@", "V`~", "V@"}};
  // clang-format on
  for (const auto& c : spellings)
    EXPECT_EQ(ownSpelling(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

TEST(ParseIncrementTest, ReadsLikePercentDAndRefusesWhatDoesNotFit) {
  const struct {
    const char* text;
    bool fits;
    int32_t expected;
    // clang-format off
  } cases[] = {{"-1", true, -1}, {"+5", true, 5}, {" \t\n\v\f\r12x", true, 12}, {"x", true, 1},
      {"-", true, 1}, {"+-3", true, 1}, {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN}, {"2147483648", false, 1}, {"-2147483649", false, 1},
      {"18446744073709551617", false, 1}};
  // clang-format on
  for (const auto& c : cases) {
    int32_t value = 1;
    EXPECT_EQ(parseIncrement(c.text, value), c.fits) << '"' << c.text << '"';
    EXPECT_EQ(value, c.expected) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace tallier

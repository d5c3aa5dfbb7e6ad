#include "common.h"

#include <gtest/gtest.h>

namespace tallier {
namespace {

TEST(CompanionNameTest, CutsAfterTheLastDotAnywhereInThePath) {
  // clang-format off
  const char* const cases[][2] = {{"Version.h", "Version.new"}, {"Version", "Versionnew"},
      {"a.b.c", "a.b.new"}, {"build.d/Version", "build.new"}, {"Version.new", "Version.new"}};
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(companionName(c[0], "new"), c[1]) << c[0];
}

TEST(ScratchNameTest, TurnsTheFileNamesDotIntoATildeOrAddsOne) {
  // clang-format off
  const char* const cases[][2] = {{"Version.h", "Version~h"}, {"Version.hpp", "Version~hpp"},
      {"Version", "Version~"}, {"a.b.c", "a.b~c"}, {"build.d/Version", "build.d/Version~"},
      {"build.d\\Version", "build.d\\Version~"}, {"/x.d/V.h", "/x.d/V~h"}};
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(scratchName(c[0]), c[1]) << c[0];
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

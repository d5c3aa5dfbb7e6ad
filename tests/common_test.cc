#include "common.h"

#include <gtest/gtest.h>

namespace tallier {
namespace {

TEST(CompanionNameTest, CutsAfterTheLastDotAnywhereInThePath) {
  const struct {
    const char* path;
    const char* suffix;
    const char* expected;
  } cases[] = {
      {"Version.h", "new", "Version.new"},
      {"Version.h", "bak", "Version.bak"},
      {"Version", "new", "Versionnew"},
      {"Version.", "bak", "Version.bak"},
      {"a.b.c", "new", "a.b.new"},
      {"build.d/Version", "new", "build.new"},
      {"../inc/Version.hpp", "bak", "../inc/Version.bak"},
      {"../inc/Version", "bak", "..bak"},
      {"Version.bak", "bak", "Version.bak"},
      {"Version.new", "new", "Version.new"},
      {"", "new", "new"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(companionName(c.path, c.suffix), c.expected) << c.path << " + " << c.suffix;
}

TEST(ParseIncrementTest, ReadsLikePercentDAndRefusesWhatDoesNotFit) {
  const struct {
    const char* text;
    bool fits;
    int32_t expected;
  } cases[] = {
      {"5", true, 5},
      {"-1", true, -1},
      {"+5", true, 5},
      {"7x", true, 7},
      {" \t\n12", true, 12},
      {"0009", true, 9},
      {"0", true, 0},
      {"x", true, 1},
      {"", true, 1},
      {"-", true, 1},
      {"+-3", true, 1},
      {"- 3", true, 1},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 1},
      {"-2147483649", false, 1},
      {"4294967297", false, 1},
      {"99999999999999999999999", false, 1},
  };
  for (const auto& c : cases) {
    int32_t value = 1;
    EXPECT_EQ(parseIncrement(c.text, value), c.fits) << '"' << c.text << '"';
    EXPECT_EQ(value, c.expected) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace tallier

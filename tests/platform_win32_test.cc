#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform.h"

namespace tallier {
namespace {

using namespace std::string_literals;

// A file of its own in the test's temporary directory, removed afterwards.
class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "tallier_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".h";
  }
  void TearDown() override { removeFile(path_); }

  void put(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
  }
  static std::string bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string path_;
};

TEST_F(TextFileTest, ReadFoldsCrLfWhereverTheReadsEnd) {
  const struct {
    std::string raw;
    std::string text;
  } cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"a\nb", "a\nb"},
      {"a\rb\r", "a\rb\r"},
      {"\r\r\n\r", "\r\n\r"},
      {"\r\n\r\n\r\r", "\n\n\r\r"},
      {"x\x1a y\0z\r\n\x1a"s, "x\x1a y\0z\n\x1a"s},
      {"", ""},
  };
  for (const auto& c : cases) {
    put(c.raw);
    for (size_t size : {1, 2, 3, 5, 4096}) {
      File file;
      ASSERT_TRUE(openLockedHeader(path_, file));
      std::string text;
      char buffer[4096];
      ptrdiff_t got;
      while ((got = readText(file, buffer, size)) > 0)
        text.append(buffer, static_cast<size_t>(got));
      EXPECT_EQ(got, 0);
      EXPECT_EQ(text, c.text) << "reads of " << size << " from " << testing::PrintToString(c.raw);
      closeFile(file);
    }
  }
}

TEST_F(TextFileTest, WriteExpandsEveryLineFeed) {
  std::string manyLines;
  for (int i = 0; i < 20000; ++i)
    manyLines += "\r\n";
  const struct {
    std::string text;
    std::string raw;
  } cases[] = {
      {"a\nb", "a\r\nb"},
      {"\n\n", "\r\n\r\n"},
      {"a\r\n", "a\r\r\n"},
      {"x\x1a\0\n"s, "x\x1a\0\r\n"s},
      {std::string(20000, '\n'), manyLines},
  };
  put("");
  File header;
  ASSERT_TRUE(openLockedHeader(path_, header));
  for (const auto& c : cases) {
    // A copy's name stays locked until its process ends, as a run's does.
    const std::string copyPath = path_ + std::to_string(&c - cases) + ".new";
    File copy;
    ASSERT_TRUE(createCopy(copyPath, header, copy));
    EXPECT_TRUE(writeText(copy, c.text.data(), c.text.size()));
    EXPECT_TRUE(closeFile(copy));
    EXPECT_EQ(bytesOf(copyPath), c.raw) << testing::PrintToString(c.text.substr(0, 20));
    removeFile(copyPath);
  }
  closeFile(header);
}

}  // namespace
}  // namespace tallier

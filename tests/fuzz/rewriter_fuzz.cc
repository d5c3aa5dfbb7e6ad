// Checks the define-line rewriter on arbitrary lines, names and increments against a plain
// reading of the whole line: a line that is not the counter comes back byte for byte, a
// rewrite replaces the number's bytes and nothing else, and pieces of any size give what the
// whole line gives.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "piece_feeder.h"

namespace tallier {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The counter line read plainly, with the whole line at hand: "#define", the name's first
// occurrence after it, filler, "%d"-style white space, then a sign and digits that are not
// the 0 of a hexadecimal 0x, and the run of digits and "-" after them where no space came.
Fed readWhole(const std::string& line, const std::string& name, int32_t increment) {
  const Fed plain{LineVerdict::kPlain, line};
  const size_t at = line.find(name, 7);
  if (line.compare(0, 7, "#define") != 0 || at == std::string::npos ||
      at + name.size() > line.find('\n'))
    return plain;
  size_t i = at + name.size();
  while (i < line.size() && (line[i] == ' ' || static_cast<signed char>(line[i]) < 10) &&
         line[i] != 0)
    ++i;
  const size_t afterFiller = i;
  while (i < line.size() && std::string(" \t\v\f\r").find(line[i]) != std::string::npos)
    ++i;
  const size_t start = i;
  const bool negative = i < line.size() && line[i] == '-';
  if (i < line.size() && (line[i] == '+' || line[i] == '-'))
    ++i;
  if (i == line.size() || !isDigit(line[i]) ||
      (line[i] == '0' && i + 1 < line.size() && (line[i + 1] == 'x' || line[i + 1] == 'X')))
    return plain;
  int64_t magnitude = 0;
  for (; i < line.size() && isDigit(line[i]); ++i)
    magnitude = std::min<int64_t>(magnitude * 10 + (line[i] - '0'), int64_t{1} << 40);
  if (start == afterFiller && line[start] != '+')
    while (i < line.size() && (isDigit(line[i]) || line[i] == '-'))
      ++i;
  const int64_t old = negative ? -magnitude : magnitude;
  const int64_t next = old + increment;
  if (old < INT32_MIN || old > INT32_MAX || next < INT32_MIN || next > INT32_MAX)
    return {LineVerdict::kOutOfRange, ""};
  return {LineVerdict::kCounter, line.substr(0, start) + std::to_string(next) + line.substr(i)};
}

void expectSame(const char* what, const Fed& got, const Fed& expected) {
  if (got == expected)
    return;
  std::fprintf(stderr, "%s: verdict %d, expected %d\n", what, static_cast<int>(got.verdict),
               static_cast<int>(expected.verdict));
  std::abort();
}

}  // namespace
}  // namespace tallier

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // Mostly small increments, which keep most counters in range, sometimes any.
  const int32_t increment = input.ConsumeBool() ? input.ConsumeIntegralInRange<int32_t>(-3, 3)
                                                : input.ConsumeIntegral<int32_t>();
  const std::string name = input.ConsumeRandomLengthString(24);
  std::minstd_rand pieceSizes(input.ConsumeIntegral<uint32_t>());
  std::string line = input.ConsumeRemainingBytesAsString();
  // The pass never offers a piece past a line feed.
  if (const size_t lineFeed = line.find('\n'); lineFeed != std::string::npos)
    line.resize(lineFeed + 1);

  const tallier::Fed whole = tallier::feedPieces(line, name, increment, [] { return size_t{0}; });
  tallier::expectSame("whole line against a plain reading", whole,
                      tallier::readWhole(line, name, increment));
  tallier::expectSame("pieces against the whole line",
                      tallier::feedPieces(line, name, increment, [&] { return pieceSizes() % 9; }),
                      whole);
  return 0;
}

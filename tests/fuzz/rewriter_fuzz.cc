// Checks the define-line rewriter's promises on arbitrary lines, names and increments: a line
// that is not the counter comes back byte for byte; a rewrite replaces the number's bytes and
// nothing else, where a plain whole-line reading says the number is; the new number reads back
// as the value returned; and pieces of any size give what the whole line gives.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

#include "rewriter.h"

namespace tallier {
namespace {

struct Outcome {
  LineVerdict verdict = LineVerdict::kPlain;
  size_t keep = 0;  // with kCounter: where the old number begins
  size_t skip = 0;  // with kCounter: how many bytes it spans
  int32_t value = 0;
  std::string text;  // what the copy receives
};

[[noreturn]] void broken(const char* promise, const Outcome& got, std::string_view line) {
  std::fprintf(stderr,
               "broken: %s (verdict %d, keep %zu, skip %zu, value %d) on line of %zu bytes\n",
               promise, static_cast<int>(got.verdict), got.keep, got.skip,
               static_cast<int>(got.value), line.size());
  std::abort();
}

// Feeds `line` the way the pass does when it straddles reads: in pieces whose sizes come
// from `sizes` (0 means the rest), offering again the bytes the rewriter leaves pending.
template <typename NextSize>
Outcome feed(std::string_view line, std::string_view name, int32_t increment, NextSize sizes) {
  DefineLineRewriter rewriter(name, increment);
  rewriter.startLine();
  Outcome out;
  size_t pos = 0;
  size_t carried = 0;
  size_t numberStart = std::string_view::npos;  // once pieces have left out the number's bytes
  LineStep step;
  while (pos + carried < line.size()) {
    size_t size = sizes();
    if (size == 0 || size > line.size() - pos)
      size = line.size() - pos;
    if (size <= carried)
      size = carried + 1;
    const std::string_view piece = line.substr(pos, size);
    step = rewriter.rewriteDefineLine(piece);
    out.text.append(piece.substr(0, step.keep));
    if (step.verdict != LineVerdict::kPending)
      break;
    if (step.skip > 0 && numberStart == std::string_view::npos)
      numberStart = pos + step.keep;
    pos += step.keep + step.skip;
    carried = piece.size() - step.keep - step.skip;
  }
  if (step.verdict == LineVerdict::kPending) {
    const std::string_view rest = line.substr(pos);
    step = rewriter.rewriteDefineLine(rest, true);
    out.text.append(rest.substr(0, step.keep));
  }
  out.verdict = step.verdict;
  out.keep = numberStart == std::string_view::npos ? pos + step.keep : numberStart;
  if (step.verdict == LineVerdict::kCounter) {
    out.skip = pos + step.keep + step.skip - out.keep;
    out.value = step.value;
    out.text += std::to_string(step.value);
    out.text.append(line.substr(pos + step.keep + step.skip));
  } else if (step.verdict == LineVerdict::kPlain) {
    out.text.append(line.substr(pos + step.keep));
  }
  return out;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The counter line read plainly, with the whole line at hand: "#define", the name's first
// occurrence after it, filler, "%d"-style white space, then a sign and digits that are not
// the 0 of a hexadecimal 0x.
Outcome readWhole(std::string_view line, std::string_view name, int32_t increment) {
  Outcome out;
  if (line.substr(0, 7) != "#define")
    return out;
  const size_t lineFeed = line.find('\n');
  const size_t at = line.find(name, 7);
  if (at == std::string_view::npos ||
      (lineFeed != std::string_view::npos && at + name.size() > lineFeed))
    return out;
  size_t i = at + name.size();
  while (i < line.size() && (line[i] == ' ' || (line[i] >= 1 && line[i] <= 9) ||
                             static_cast<unsigned char>(line[i]) >= 0x80))
    ++i;
  bool spaced = false;
  while (i < line.size() && std::string_view(" \t\v\f\r").find(line[i]) != std::string_view::npos) {
    ++i;
    spaced = true;
  }
  const size_t start = i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) {
    negative = line[i] == '-';
    ++i;
  }
  if (i == line.size() || !isDigit(line[i]))
    return out;
  int64_t magnitude = 0;
  const size_t digitsStart = i;
  for (; i < line.size() && isDigit(line[i]); ++i)
    magnitude = std::min<int64_t>(magnitude * 10 + (line[i] - '0'), int64_t{1} << 40);
  if (i - digitsStart == 1 && line[digitsStart] == '0' && i < line.size() &&
      (line[i] == 'x' || line[i] == 'X'))
    return out;
  if (!spaced && line[start] != '+')
    while (i < line.size() && (isDigit(line[i]) || line[i] == '-'))
      ++i;
  const int64_t old = negative ? -magnitude : magnitude;
  const int64_t next = old + increment;
  out.keep = start;
  if (old < INT32_MIN || old > INT32_MAX || next < INT32_MIN || next > INT32_MAX) {
    out.verdict = LineVerdict::kOutOfRange;
    return out;
  }
  out.verdict = LineVerdict::kCounter;
  out.skip = i - start;
  out.value = static_cast<int32_t>(next);
  return out;
}

}  // namespace
}  // namespace tallier

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tallier::LineVerdict;
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

  const tallier::Outcome whole = tallier::feed(line, name, increment, [] { return size_t{0}; });
  const tallier::Outcome pieces =
      tallier::feed(line, name, increment, [&] { return size_t{pieceSizes() % 9}; });
  if (pieces.verdict != whole.verdict || pieces.text != whole.text || pieces.value != whole.value)
    tallier::broken("pieces differ from the whole line", pieces, line);

  const tallier::Outcome plain = tallier::readWhole(line, name, increment);
  if (whole.verdict != plain.verdict)
    tallier::broken("verdict differs from a plain reading", whole, line);
  switch (whole.verdict) {
    case LineVerdict::kPlain:
      if (whole.text != line)
        tallier::broken("a line that is not the counter changed", whole, line);
      break;
    case LineVerdict::kCounter: {
      if (whole.keep != plain.keep || whole.skip != plain.skip || whole.value != plain.value)
        tallier::broken("number found elsewhere than a plain reading finds it", whole, line);
      const std::string number = std::to_string(whole.value);
      const size_t tail = line.size() - whole.keep - whole.skip;
      if (whole.text.size() != whole.keep + number.size() + tail ||
          whole.text.compare(0, whole.keep, line, 0, whole.keep) != 0 ||
          whole.text.compare(whole.keep + number.size(), tail, line, whole.keep + whole.skip,
                             tail) != 0)
        tallier::broken("bytes around the number changed", whole, line);
      // The new number, read back where it stands, stops where the old one's bytes ended.
      char* end = nullptr;
      const long long readBack = std::strtoll(whole.text.c_str() + whole.keep, &end, 10);
      if (readBack != whole.value ||
          static_cast<size_t>(end - whole.text.c_str()) != whole.keep + number.size())
        tallier::broken("the new number does not read back as the value", whole, line);
      break;
    }
    case LineVerdict::kOutOfRange:
    case LineVerdict::kPending:
      break;
  }
  return 0;
}

#include "common.h"

namespace tallier {

namespace {

// Where the file's own name starts in `path`. Either separator may end a directory on
// Windows; on POSIX a backslash is part of a name, where either reading leaves the name in
// the same directory.
size_t fileNameStart(std::string_view path) {
  return path.find_last_of("/\\") + 1;
}

char lowerCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool parseIncrement(std::string_view text, int32_t& value) {
  size_t i = 0;
  while (i < text.size() && isConversionSpace(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size() || !isDigit(text[i]))
    return true;
  int64_t magnitude = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kMagnitudeCap)
      magnitude = kMagnitudeCap;
  }
  const int64_t number = negative ? -magnitude : magnitude;
  if (number < INT32_MIN || number > INT32_MAX)
    return false;
  value = static_cast<int32_t>(number);
  return true;
}

std::string companionName(std::string_view path, std::string_view suffix) {
  std::string name(path);
  // A dot in a directory's name is not the file's: cut there, the companions would land
  // outside the header's directory, over files that are not the run's.
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot >= fileNameStart(name))
    name.resize(dot + 1);
  name += suffix;
  return name;
}

std::string scratchName(std::string_view path) {
  std::string name(path);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot >= fileNameStart(name))
    name[dot] = '~';
  else
    name += '~';
  return name;
}

std::string ownSpelling(std::string_view path, std::string_view ownScratch) {
  const std::string scratch = scratchName(path);
  const size_t leaf = fileNameStart(scratch);
  const std::string_view ownLeaf = ownScratch.substr(fileNameStart(ownScratch));
  std::string spelt(path);
  if (ownLeaf.size() != scratch.size() - leaf)
    return spelt;
  for (size_t i = leaf; i < scratch.size(); ++i) {
    const char own = ownLeaf[i - leaf];
    if (lowerCase(own) != lowerCase(scratch[i]))
      return std::string(path);
    if (i < spelt.size() && spelt[i] == scratch[i])
      spelt[i] = own;
  }
  return spelt;
}

}  // namespace tallier

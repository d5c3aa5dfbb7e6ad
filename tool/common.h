// Settings of one run and the naming of the files that live beside the header.
#ifndef TALLIER_COMMON_H_
#define TALLIER_COMMON_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace tallier {

/// What a run ends with; build scripts rely on these numbers.
enum ExitStatus : int {
  kAdvanced = 0,    ///< the counter was advanced and the header replaced
  kFileError = 1,   ///< usage request, bad argument, or a file could not be read or written
  kNotAdvanced = 2  ///< no line held the counter, or its new value would not fit
};

/// The three positional arguments of a run, with their defaults.
struct RunSettings {
  std::string headerPath = "Version.h";
  std::string macroName = "BuildCount";
  int32_t increment = 1;
  /// The increment argument as given, kept to report it when it does not fit 32 bits.
  std::string incrementText;
  bool incrementOutOfRange = false;
};

/// What a "%d" conversion skips before the sign.
inline bool isConversionSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

/// One past the largest 32-bit magnitude: enough to know that a number does not fit.
constexpr int64_t kMagnitudeCap = int64_t{INT32_MAX} + 2;

/// Reads an increment as "%d" would: white space, a sign, digits up to the first other byte.
/// Leaves `value` alone when no digit is read; returns false when the number does not fit.
bool parseIncrement(std::string_view text, int32_t& value);

/// The path of a file beside `path`: cut after the last dot of its file name, if any, and
/// append `suffix`.
std::string companionName(std::string_view path, std::string_view suffix);

/// The name beside `path` under which the previous header waits while a run replaces it: the
/// dot of the file name's extension turned into "~" (Version~h), or a "~" added when the file
/// name has no dot. It is the header's own and never longer than the longer of the header's
/// and its companions' names, so that it fits wherever they do.
std::string scratchName(std::string_view path);

/// `path` with its file name spelt as `ownScratch`, the file system's own spelling of its
/// scratch name, spells it (a name typed in another case where the file system ignores case);
/// `path` as it is where the two differ by more than the case of letters.
std::string ownSpelling(std::string_view path, std::string_view ownScratch);

}  // namespace tallier

#endif  // TALLIER_COMMON_H_

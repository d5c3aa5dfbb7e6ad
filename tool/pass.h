// The one pass over the header: copied into the rewritten copy, its counter line rewritten.
#ifndef TALLIER_PASS_H_
#define TALLIER_PASS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform.h"

namespace tallier {

/// How the pass ended.
enum class PassOutcome { kRewritten, kNotFound, kOutOfRange, kReadError, kWriteError };

/// The rewriter may hand back two bytes of a line to be seen again with the next read, and
/// every read must then still bring at least one new byte.
constexpr size_t kSmallestPassBuffer = 3;

/// Copies `header` with readText to the end of `copy` with writeText, through a buffer of
/// `bufferSize` bytes (at least kSmallestPassBuffer), with the number of the first line that
/// defines `macroName` advanced by `increment`, the new value in `value`. With kNotFound the
/// copy is whole and unchanged; after kOutOfRange or an error it is cut short.
PassOutcome copyAdvancingCounter(File& header, File& copy, std::string_view macroName,
                                 int32_t increment, size_t bufferSize, int32_t& value);

}  // namespace tallier

#endif  // TALLIER_PASS_H_

#include "pass.h"

#include <charconv>
#include <cstring>
#include <memory>

#include "rewriter.h"
#include "text_copy.h"

namespace tallier {

namespace {

// Copies the header into the copy, rewriting the first line that holds the counter.
class Pass {
 public:
  Pass(File& header, File& copy, std::string_view macroName, int32_t increment, size_t bufferSize)
      : header_(header),
        copy_(copy),
        rewriter_(macroName, increment),
        buffer_(new char[bufferSize]),
        size_(bufferSize) {}

  PassOutcome run(int32_t& value) {
    size_t carried = 0;  // bytes at the front of the buffer that the rewriter must see again
    bool undecided = true;
    rewriter_.startText();
    for (;;) {
      const ptrdiff_t got = readText(header_, buffer_.get() + carried, size_ - carried);
      if (got < 0)
        return PassOutcome::kReadError;
      if (got == 0)
        break;
      const size_t end = carried + static_cast<size_t>(got);
      size_t unwritten = 0;
      carried = 0;
      for (size_t pos = 0; pos < end;) {
        if (!undecided) {
          pos = nextDirectiveLine(pos, end);
          if (pos == end)
            break;
          rewriter_.startLine();
          undecided = true;
        }
        const char* lineFeed =
            static_cast<const char*>(std::memchr(buffer_.get() + pos, '\n', end - pos));
        const size_t lineEnd = lineFeed ? static_cast<size_t>(lineFeed - buffer_.get()) + 1 : end;
        const LineStep step = rewriter_.rewriteDefineLine({buffer_.get() + pos, lineEnd - pos});
        switch (step.verdict) {
          case LineVerdict::kPending:
            if (!emit(unwritten, pos + step.keep))
              return PassOutcome::kWriteError;
            unwritten = pos + step.keep + step.skip;
            carried = end - unwritten;
            break;
          case LineVerdict::kPlain:
            undecided = false;
            break;
          case LineVerdict::kCounter: {
            LineStep inBuffer = step;
            inBuffer.keep += pos;
            value = step.value;
            return finish(unwritten, inBuffer, end);
          }
          case LineVerdict::kOutOfRange:
            return PassOutcome::kOutOfRange;
        }
        pos = lineEnd;
      }
      // A line that ends with the buffer leaves the next read to begin a line.
      if (!undecided && buffer_[end - 1] == '\n') {
        rewriter_.startLine();
        undecided = true;
      }
      if (!emit(unwritten, end - carried))
        return PassOutcome::kWriteError;
      std::memmove(buffer_.get(), buffer_.get() + end - carried, carried);
    }
    // The text ended inside a line that the rewriter had not judged yet.
    const LineStep step = undecided ? rewriter_.rewriteDefineLine({buffer_.get(), carried}, true)
                                    : LineStep{LineVerdict::kPlain};
    if (step.verdict == LineVerdict::kOutOfRange)
      return PassOutcome::kOutOfRange;
    if (step.verdict == LineVerdict::kCounter) {
      value = step.value;
      return finish(0, step, carried);
    }
    return emit(0, carried) ? PassOutcome::kNotFound : PassOutcome::kWriteError;
  }

 private:
  // Only a line that begins with '#' can hold the counter, and in a large generated header
  // most lines are rows of a table: one search for '#' passes over all of them at once.
  // Returns where the next line that begins with '#' starts, or `end`; `from` lies inside a
  // line already judged, or just after its line feed.
  size_t nextDirectiveLine(size_t from, size_t end) const {
    const char* const buffer = buffer_.get();
    while (const void* found = std::memchr(buffer + from, '#', end - from)) {
      const size_t hash = static_cast<size_t>(static_cast<const char*>(found) - buffer);
      if (hash > 0 && buffer[hash - 1] == '\n')
        return hash;
      from = hash + 1;
    }
    return end;
  }

  bool emit(size_t from, size_t to) {
    return to <= from || writeText(copy_, buffer_.get() + from, to - from);
  }

  // Writes the new number in place of the old, then everything after it unchanged.
  PassOutcome finish(size_t unwritten, const LineStep& step, size_t end) {
    char number[16];
    const auto converted = std::to_chars(number, number + sizeof number, step.value);
    if (!emit(unwritten, step.keep) ||
        !writeText(copy_, number, static_cast<size_t>(converted.ptr - number)) ||
        !emit(step.keep + step.skip, end))
      return PassOutcome::kWriteError;
    // What the buffer held is written: it carries the rest.
    switch (copyRest(header_, copy_, buffer_.get(), size_)) {
      case CopyError::kNone:
        return PassOutcome::kRewritten;
      case CopyError::kRead:
        return PassOutcome::kReadError;
      case CopyError::kWrite:
        break;
    }
    return PassOutcome::kWriteError;
  }

  File& header_;
  File& copy_;
  DefineLineRewriter rewriter_;
  std::unique_ptr<char[]> buffer_;
  size_t size_;
};

}  // namespace

PassOutcome copyAdvancingCounter(File& header, File& copy, std::string_view macroName,
                                 int32_t increment, size_t bufferSize, int32_t& value) {
  return Pass(header, copy, macroName, increment, bufferSize).run(value);
}

}  // namespace tallier

// Text on Windows: the wide command line, console and piped output, CR LF line ends.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>

#include "line_ends.h"
#include "platform_win32.h"

namespace tallier {

namespace {

// Bytes that one ReadFile or WriteFile call is asked to move; any DWORD would do.
constexpr size_t kMaxTransfer = 1 << 30;

bool writeAll(HANDLE handle, const char* data, size_t size) {
  while (size > 0) {
    DWORD put = 0;
    const DWORD chunk = static_cast<DWORD>(std::min(size, kMaxTransfer));
    if (!WriteFile(handle, data, chunk, &put, nullptr) || put == 0)
      return false;
    data += put;
    size -= put;
  }
  return true;
}

// Gives back the bytes last read, to be read again with what follows them.
bool giveBack(File& file, DWORD bytes) {
  LARGE_INTEGER back;
  back.QuadPart = -static_cast<LONGLONG>(bytes);
  return SetFilePointerEx(handleOf(file), back, nullptr, FILE_CURRENT) != 0;
}

// Reads one byte past the carriage return at data[0] that a one-byte read holds back: a line
// feed takes its place, anything else is given back.
ptrdiff_t finishHeldReturn(File& file, char* data) {
  char next = 0;
  DWORD got = 0;
  if (!ReadFile(handleOf(file), &next, 1, &got, nullptr))
    return -1;
  if (got == 1 && next == '\n') {
    data[0] = '\n';
    return 1;
  }
  return giveBack(file, got) ? 1 : -1;
}

}  // namespace

std::wstring widen(const std::string& text) {
  if (text.empty())
    return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (length > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], length);
  return wide;
}

std::string toUtf8(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1)
    return std::string();
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(length - 1));
  return narrow;
}

// main's argv holds the arguments in the ANSI code page, where a character it lacks turns
// into another (best fit) or into "?".
std::vector<std::string> programArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr)
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i)
    arguments.push_back(toUtf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

// Lines end in CR LF, as the C runtime's text streams wrote them. A console is given the
// characters themselves, so that it shows any name as it was typed. Elsewhere (a build log,
// a pipe to a script) the bytes are in the ANSI code page, as the C runtime wrote them, when
// that code page holds every character of the text, and UTF-8 when it does not.
void prepareProcess() {}

bool writeOutput(std::string_view text) {
  std::string lines;
  for (const char c : text) {
    if (c == '\n')
      lines += '\r';
    lines += c;
  }
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr)
    return false;
  if (lines.empty())
    return true;
  const std::wstring wide = widen(lines);
  const int length = static_cast<int>(wide.size());
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    DWORD written = 0;
    return WriteConsoleW(out, wide.data(), static_cast<DWORD>(length), &written, nullptr) &&
           written == static_cast<DWORD>(length);
  }
  if (GetACP() == CP_UTF8)
    return writeAll(out, lines.data(), lines.size());
  BOOL lossy = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr,
                                       0, nullptr, &lossy);
  if (size <= 0 || lossy)
    return writeAll(out, lines.data(), lines.size());
  std::string ansi(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, &ansi[0], size, nullptr,
                      nullptr);
  return writeAll(out, ansi.data(), ansi.size());
}

// The file is read in binary and CR LF folded here, rather than by a text-mode stream, which
// would also end the text at the first Ctrl-Z. A CR held back at the end of a read is given
// back to the file, so that nothing is kept between calls: the next one reads it again.
ptrdiff_t readText(File& file, char* data, size_t size) {
  if (size == 0)
    return 0;
  LineEndFolding folding;
  for (;;) {
    const size_t start = folding.resume(data);
    if (start == size)
      return finishHeldReturn(file, data);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min(size - start, kMaxTransfer));
    if (!ReadFile(handleOf(file), data + start, want, &got, nullptr))
      return -1;
    if (got == 0)
      return static_cast<ptrdiff_t>(start);
    const size_t folded = folding.fold(data, start + got);
    if (folded > 0)
      return folding.holding() && !giveBack(file, 1) ? -1 : static_cast<ptrdiff_t>(folded);
  }
}

bool writeText(File& file, const char* data, size_t size) {
  char expanded[16 * 1024];
  while (size > 0) {
    size_t taken = 0;
    const size_t used = expandLineEnds(data, size, expanded, sizeof expanded, taken);
    if (!writeAll(handleOf(file), expanded, used))
      return false;
    data += taken;
    size -= taken;
  }
  return true;
}

// Every byte of the text is looked at, for its line ends.
void copyDirect(File&, File&) {}

}  // namespace tallier

// Text on Windows: the wide command line, console and piped output, CR LF line ends.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>

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

// Reads one byte past a carriage return that a one-byte read held back.
ptrdiff_t finishHeldReturn(File& file, char* data) {
  file.heldCarriageReturn = false;
  char next = 0;
  DWORD got = 0;
  if (!ReadFile(handleOf(file), &next, 1, &got, nullptr))
    return -1;
  if (got == 1 && next == '\n') {
    data[0] = '\n';
    return 1;
  }
  LARGE_INTEGER back;
  back.QuadPart = -static_cast<LONGLONG>(got);
  if (!SetFilePointerEx(handleOf(file), back, nullptr, FILE_CURRENT))
    return -1;
  data[0] = '\r';
  return 1;
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
// would also end the text at the first Ctrl-Z.
ptrdiff_t readText(File& file, char* data, size_t size) {
  if (size == 0)
    return 0;
  for (;;) {
    if (file.heldCarriageReturn && size == 1)
      return finishHeldReturn(file, data);
    size_t end = 0;
    if (file.heldCarriageReturn) {
      data[end++] = '\r';
      file.heldCarriageReturn = false;
    }
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min(size - end, kMaxTransfer));
    if (!ReadFile(handleOf(file), data + end, want, &got, nullptr))
      return -1;
    if (got == 0)
      return static_cast<ptrdiff_t>(end);
    end += got;
    // A carriage return at the end may be the first half of a CR LF.
    if (data[end - 1] == '\r') {
      file.heldCarriageReturn = true;
      --end;
    }
    size_t out = 0;
    for (size_t in = 0; in < end; ++in) {
      if (data[in] == '\r' && in + 1 < end && data[in + 1] == '\n')
        continue;
      data[out++] = data[in];
    }
    if (out > 0)
      return static_cast<ptrdiff_t>(out);
  }
}

bool writeText(File& file, const char* data, size_t size) {
  char expanded[16 * 1024];
  size_t used = 0;
  for (size_t i = 0; i < size; ++i) {
    if (used + 2 > sizeof expanded) {
      if (!writeAll(handleOf(file), expanded, used))
        return false;
      used = 0;
    }
    if (data[i] == '\n')
      expanded[used++] = '\r';
    expanded[used++] = data[i];
  }
  return writeAll(handleOf(file), expanded, used);
}

// Every byte of the text is looked at, for its line ends.
void copyDirect(File&, File&) {}

}  // namespace tallier

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <memory>

#include "platform.h"

namespace tallier {

namespace {

constexpr size_t kCopyBufferSize = 128 * 1024;

// Bytes that one ReadFile or WriteFile call is asked to move; any DWORD would do.
constexpr size_t kMaxTransfer = 1 << 30;

// A waiting run holds the header open while the run before it moves the header aside, and
// others (a compiler, a backup copy) may read it meanwhile: no handle may stand in their way.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Windows locks are mandatory: a lock on the header's text would stop every other reader of
// it, the compiler among them. The run lock takes one byte far past the end of any header.
constexpr DWORD kLockOffsetHigh = 0x40000000;

constexpr int kMissingHeaderAttempts = 20;
constexpr DWORD kMissingHeaderPauseMs = 10;

// Windows renames nothing over a file that is open, and runs on headers that share a backup's
// name each look at it for an instant (is it my header? can it be replaced?): a rename over a
// busy name is tried again for a while before it counts as failed.
constexpr int kBusyTargetAttempts = 50;
constexpr DWORD kBusyTargetPauseMs = 10;

HANDLE handleOf(const File& file) {
  return reinterpret_cast<HANDLE>(file.handle);
}

// Only the attributes that say how a file may be used; the system keeps the others.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Text inside the tool is UTF-8 (see programArguments); Windows takes UTF-16.
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

// The \\?\ form of the full path: it reaches paths of any length, which the plain form does
// only where long paths are enabled, and it keeps a drive-relative path (D:Version.h) and the
// names made from it on the drive it names. The full path is as the system would take the
// plain one (relative parts resolved, trailing dots and spaces gone).
std::wstring systemPath(const std::string& path) {
  const std::wstring wide = widen(path);
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0)
    return wide;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size)
    return wide;
  full.resize(length);
  // A device (\\.\NUL) or a path already in that form is left as it is.
  if (full.compare(0, 2, L"\\\\") != 0)
    return L"\\\\?\\" + full;
  if (full.compare(0, 4, L"\\\\.\\") == 0 || full.compare(0, 4, L"\\\\?\\") == 0)
    return full;
  return L"\\\\?\\UNC\\" + full.substr(2);
}

// Another run's replacement leaves the header's name empty between its two renames (see
// replaceKeepingOld): a missing header is looked for again a few times before the run gives up.
HANDLE openHeader(const std::wstring& path) {
  for (int attempt = 1;; ++attempt) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND ||
        attempt == kMissingHeaderAttempts)
      return handle;
    Sleep(kMissingHeaderPauseMs);
  }
}

// A file's identity: its volume and its index there, whatever name reached it.
bool identityOf(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  const bool got = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  return got;
}

bool sameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// True when `path` still names the file open under `handle`.
bool namesFile(const std::wstring& path, HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION opened, named;
  return GetFileInformationByHandle(handle, &opened) && identityOf(path, named) &&
         sameIdentity(opened, named);
}

// Waits for the lock that runs take on the header, and on the copy's name (see createCopy).
bool lockRun(HANDLE handle) {
  OVERLAPPED at = {};
  at.OffsetHigh = kLockOffsetHigh;
  return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
}

// Creates `path` anew and locks it. Runs on headers that share a companion's name (Version.h
// and Version.hpp) take the name in turns: a file found there is locked first, so that one
// still in use by a live run is waited for, and removed once its run has ended or died.
HANDLE takeFreshFile(const std::string& path, DWORD attributes) {
  const std::wstring name = systemPath(path);
  for (;;) {
    const HANDLE created = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                       attributes, nullptr);
    if (created != INVALID_HANDLE_VALUE) {
      // Another run may have locked it first, taken it for a leftover and removed it.
      if (lockRun(created) && namesFile(name, created))
        return created;
      CloseHandle(created);
      continue;
    }
    if (GetLastError() != ERROR_FILE_EXISTS)
      return INVALID_HANDLE_VALUE;
    const HANDLE found = CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (found == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND)
        continue;
      return INVALID_HANDLE_VALUE;
    }
    const bool removed = lockRun(found) && (!namesFile(name, found) || removeFile(path));
    CloseHandle(found);
    if (!removed)
      return INVALID_HANDLE_VALUE;
  }
}

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

bool moveOver(const std::wstring& from, const std::wstring& to) {
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    const DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        attempt == kBusyTargetAttempts)
      return false;
    Sleep(kBusyTargetPauseMs);
  }
}

}  // namespace

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
bool writeOutput(const std::string& text) {
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

// A symbolic link needs a privilege to create on Windows and headers are not reached
// through one; resolving the path would only turn it into another spelling
// (\\?\C:\...) that the companions and the messages would then carry.
std::string resolveLinks(const std::string& path) {
  return path;
}

bool openLockedHeader(const std::string& path, File& header) {
  const std::wstring name = systemPath(path);
  for (;;) {
    const HANDLE handle = openHeader(name);
    if (handle == INVALID_HANDLE_VALUE)
      return false;
    const bool locked = lockRun(handle);
    // The run before us may have replaced the header while we waited: the lock we hold is
    // then on its old file, and the current one must be opened and locked again.
    if (locked && namesFile(name, handle)) {
      header.handle = reinterpret_cast<intptr_t>(handle);
      header.heldCarriageReturn = false;
      return true;
    }
    CloseHandle(handle);
    if (!locked)
      return false;
  }
}

// A file created read-only still gives a handle that writes. Its access rules are the
// directory's, as the header's usually are.
bool createCopy(const std::string& path, const File& header, File& copy) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(header), &info))
    return false;
  const DWORD attributes = info.dwFileAttributes & kKeptAttributes;
  const HANDLE handle = takeFreshFile(path, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  // The copy's handle is closed before the rename; a second one holds the name's lock until
  // the process ends, past the rename.
  HANDLE keeper = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &keeper, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    CloseHandle(handle);
    return false;
  }
  copy.handle = reinterpret_cast<intptr_t>(handle);
  return true;
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

CopyError copyRest(File& from, File& to) {
  std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
  for (;;) {
    const ptrdiff_t got = readText(from, buffer.get(), kCopyBufferSize);
    if (got < 0)
      return CopyError::kRead;
    if (got == 0)
      return CopyError::kNone;
    if (!writeText(to, buffer.get(), static_cast<size_t>(got)))
      return CopyError::kWrite;
  }
}

bool syncFile(File& file) {
  return FlushFileBuffers(handleOf(file)) != 0;
}

bool closeFile(File& file) {
  const bool closed = CloseHandle(handleOf(file)) != 0;
  file.handle = -1;
  file.heldCarriageReturn = false;
  return closed;
}

// A file that is open elsewhere keeps its name until the last handle on it is closed, even
// once deleted, and the name could not be taken again. Moved aside first, under a name of
// this process's own beside it, it frees the name at once. POSIX removes a read-only file
// from a directory that may be written, and so does this.
bool removeFile(const std::string& path) {
  const std::wstring name = systemPath(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return false;
  if ((attributes & FILE_ATTRIBUTE_READONLY) &&
      !SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
    return false;
  const std::wstring aside =
      systemPath(path + "." + std::to_string(GetCurrentProcessId()) + ".del~");
  if (MoveFileExW(name.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING))
    return DeleteFileW(aside.c_str()) != 0;
  return DeleteFileW(name.c_str()) != 0;
}

bool namesOpenFile(const std::string& path, const File& file) {
  return namesFile(systemPath(path), handleOf(file));
}

// Windows gives no file the name of another while that one is open, and the header is open
// here for the run lock (and in every run waiting for it, and maybe in a compiler). It may be
// renamed though, read-only or not, as long as every handle on it shares deletion: the
// header moves aside to `old` for an instant and the copy takes its free name.
Replaced replaceKeepingOld(const std::string& from, const std::string& to, const std::string& old) {
  const std::wstring header = systemPath(to);
  const std::wstring aside = systemPath(old);
  if (!MoveFileExW(header.c_str(), aside.c_str(), 0))
    return Replaced::kNot;
  if (MoveFileExW(systemPath(from).c_str(), header.c_str(), MOVEFILE_WRITE_THROUGH))
    return Replaced::kKeepingOld;
  // Should the header not go back, it is at least not lost: it is under `old`.
  MoveFileExW(aside.c_str(), header.c_str(), 0);
  return Replaced::kNot;
}

// The new header, no longer open here, returns to `from` for the previous one to take its
// name again; then it goes, as on POSIX, where one rename over it undoes the replacement.
bool restoreOld(const std::string& old, const std::string& to, const std::string& from) {
  const std::wstring header = systemPath(to);
  const std::wstring copy = systemPath(from);
  if (!MoveFileExW(header.c_str(), copy.c_str(), 0))
    return false;
  if (!MoveFileExW(systemPath(old).c_str(), header.c_str(), MOVEFILE_WRITE_THROUGH)) {
    MoveFileExW(copy.c_str(), header.c_str(), 0);
    return false;
  }
  removeFile(from);
  return true;
}

// A file that any handle holds without delete sharing cannot be renamed over, and opening
// it for deletion is refused for the same reason; a directory is not opened at all. The
// handle is let go at once, since no file is replaced while open.
bool nameCanBeTaken(const std::string& path) {
  const std::wstring name = systemPath(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return false;
  const HANDLE handle =
      CreateFileW(name.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(handle);
  return true;
}

// Windows replaces no read-only file, and a backup is read-only when its header was.
bool replaceFile(const std::string& from, const std::string& to) {
  const std::wstring target = systemPath(to);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
                            FILE_ATTRIBUTE_READONLY;
  if (readOnly && !SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
    return false;
  if (moveOver(systemPath(from), target))
    return true;
  if (readOnly)
    SetFileAttributesW(target.c_str(), attributes);
  return false;
}

// Windows lets no unprivileged process flush a directory: the copy was flushed before it
// took the name, with a rename that waits for the disk, and the rename itself is as
// durable as the file system's journal makes it.
bool syncDirectories(const std::string&, const std::string&) {
  return true;
}

}  // namespace tallier

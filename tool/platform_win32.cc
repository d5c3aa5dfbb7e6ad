#include <windows.h>

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

HANDLE handleOf(const File& file) {
  return reinterpret_cast<HANDLE>(file.handle);
}

// Paths arrive as the bytes of argv, which Windows gives in the ANSI code page.
std::wstring widen(const std::string& path) {
  if (path.empty())
    return std::wstring();
  const int size = static_cast<int>(path.size());
  const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (length > 0)
    MultiByteToWideChar(CP_ACP, 0, path.data(), size, &wide[0], length);
  return wide;
}

// Another run's replacement leaves the header's name empty between its two renames (see
// replaceFile): a missing header is looked for again a few times before the run gives up.
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

// The directory part of a path, with its separator, or "." when it has none.
std::wstring directoryOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"/\\");
  return separator == std::wstring::npos ? L"." : path.substr(0, separator + 1);
}

// True when `path` still names the file open under `handle`.
bool namesFile(const std::wstring& path, HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION opened, named;
  if (!GetFileInformationByHandle(handle, &opened))
    return false;
  const HANDLE current = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (current == INVALID_HANDLE_VALUE)
    return false;
  const bool got = GetFileInformationByHandle(current, &named) != 0;
  CloseHandle(current);
  return got && opened.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
         opened.nFileIndexHigh == named.nFileIndexHigh &&
         opened.nFileIndexLow == named.nFileIndexLow;
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

}  // namespace

// A symbolic link needs a privilege to create on Windows and headers are not reached
// through one; resolving the path would only turn it into another spelling
// (\\?\C:\...) that the companions and the messages would then carry.
std::string resolveLinks(const std::string& path) {
  return path;
}

bool openLockedHeader(const std::string& path, File& header) {
  const std::wstring name = widen(path);
  for (;;) {
    const HANDLE handle = openHeader(name);
    if (handle == INVALID_HANDLE_VALUE)
      return false;
    OVERLAPPED at = {};
    at.OffsetHigh = kLockOffsetHigh;
    const bool locked = LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
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

// Nothing of the header's is carried over here: when the copy takes the header's name,
// ReplaceFileW gives it the header's attributes and access rules.
bool createCopy(const std::string& path, const File&, File& copy) {
  removeFile(path);
  const HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
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
// once deleted, and the name could not be taken again. Moved aside first, it frees the name
// at once.
bool removeFile(const std::string& path) {
  const std::wstring name = widen(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  // What DeleteFileW refuses is not moved aside either.
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
    return false;
  wchar_t aside[MAX_PATH];
  if (!GetTempFileNameW(directoryOf(name).c_str(), L"tal", 0, aside))
    return DeleteFileW(name.c_str()) != 0;
  if (!MoveFileExW(name.c_str(), aside, MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(aside);
    return DeleteFileW(name.c_str()) != 0;
  }
  DeleteFileW(aside);
  return true;
}

bool makeBackup(const std::string& header, const std::string& backup) {
  const std::wstring from = widen(header);
  const std::wstring to = widen(backup);
  if (CreateHardLinkW(to.c_str(), from.c_str(), nullptr))
    return true;
  // The file system has no hard links (FAT, some network shares): a flushed copy stands in.
  if (!CopyFileW(from.c_str(), to.c_str(), TRUE))
    return false;
  const HANDLE copy = CreateFileW(to.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  bool made = copy != INVALID_HANDLE_VALUE && FlushFileBuffers(copy);
  if (copy != INVALID_HANDLE_VALUE)
    made = CloseHandle(copy) && made;
  if (!made)
    removeFile(backup);
  return made;
}

// Windows gives no file the name of another while that one is open, and the header is open
// here for the run lock (and in every run waiting for it). ReplaceFileW moves the open header
// aside instead, puts the copy in its place and moves the header back if that fails; the
// backup made before keeps the header's bytes under its own name.
bool replaceFile(const std::string& from, const std::string& to) {
  const std::wstring target = widen(to);
  wchar_t aside[MAX_PATH];
  if (!GetTempFileNameW(directoryOf(target).c_str(), L"tal", 0, aside))
    return false;
  const bool replaced =
      ReplaceFileW(target.c_str(), widen(from).c_str(), aside,
                   REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                   nullptr) != 0;
  // Left under the scratch name, the header is at least not lost.
  if (!replaced && GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
      !MoveFileExW(aside, target.c_str(), 0))
    return false;
  DeleteFileW(aside);
  return replaced;
}

// ReplaceFileW has no write-through, and Windows lets no unprivileged process flush a
// directory: the copy was flushed before it took the name, and the rename itself is as
// durable as the file system's journal makes it.
bool syncDirectories(const std::string&, const std::string&) {
  return true;
}

}  // namespace tallier

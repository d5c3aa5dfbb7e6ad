// Names on Windows: the form every path is given to the system in, and files' identities.
#include <windows.h>

#include "platform_win32.h"

namespace tallier {

namespace {

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

}  // namespace

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

bool namesFile(const std::wstring& path, HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION opened, named;
  return GetFileInformationByHandle(handle, &opened) && identityOf(path, named) &&
         sameIdentity(opened, named);
}

// A symbolic link needs a privilege to create on Windows and headers are not reached
// through one; resolving the path would only turn it into another spelling
// (\\?\C:\...) that the companions and the messages would then carry.
std::string resolveLinks(const std::string& path) {
  return path;
}

bool namesOpenFile(const std::string& path, const File& file) {
  return namesFile(systemPath(path), handleOf(file));
}

}  // namespace tallier

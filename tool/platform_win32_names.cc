// Names on Windows: the form every path is given to the system in, and files' identities.
#include <windows.h>

#include "platform_win32.h"

namespace tallier {

bool identityOf(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  const bool got = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  return got;
}

namespace {

bool sameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Where the file name starts: after the last separator, or after a drive's "D:".
size_t fileNameStart(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos)
    return separator + 1;
  return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

// The directory part of a path in the \\?\ form, with the separator that a drive's root keeps.
std::wstring directoryOf(const std::wstring& path) {
  const size_t separator = path.rfind(L'\\');
  return path.substr(0, separator > 0 && path[separator - 1] == L':' ? separator + 1 : separator);
}

// Whether two paths end in the same name, however spelt, in the same directory.
bool sameEntry(const std::wstring& a, const std::wstring& b) {
  BY_HANDLE_FILE_INFORMATION directoryA, directoryB;
  return CompareStringOrdinal(a.c_str() + a.rfind(L'\\') + 1, -1, b.c_str() + b.rfind(L'\\') + 1,
                              -1, TRUE) == CSTR_EQUAL &&
         identityOf(directoryOf(a), directoryA) && identityOf(directoryOf(b), directoryB) &&
         sameIdentity(directoryA, directoryB);
}

}  // namespace

bool finalName(HANDLE handle, std::wstring& name) {
  constexpr DWORD kForm = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD size = GetFinalPathNameByHandleW(handle, nullptr, 0, kForm);
  if (size == 0)
    return false;
  name.assign(size, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(handle, &name[0], size, kForm);
  if (length == 0 || length >= size)
    return false;
  name.resize(length);
  return true;
}

// Windows opens a link itself when asked to, and says it is one. Wine follows a symbolic
// link whatever a program asks, so that a handle on the link is a handle on what it leads
// to: the file there has another name, or the same file name in another directory.
NameKind nameKind(const std::wstring& path) {
  const HANDLE handle =
      CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return NameKind::kSole;
  std::wstring own;
  FILE_ATTRIBUTE_TAG_INFO tag;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = finalName(handle, own) &&
                     GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
                     GetFileInformationByHandle(handle, &info);
  CloseHandle(handle);
  if (!known)
    return NameKind::kSole;
  if (((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
       IsReparseTagNameSurrogate(tag.ReparseTag)) ||
      !sameEntry(own, path))
    return NameKind::kLink;
  return info.nNumberOfLinks > 1 ? NameKind::kHardLink : NameKind::kSole;
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

bool namesFile(const std::wstring& path, HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION opened, named;
  return GetFileInformationByHandle(handle, &opened) && identityOf(path, named) &&
         sameIdentity(opened, named);
}

// Links are undone once the header is open, by headerName, which asks the system and not
// the spelling.
std::string resolveLinks(const std::string& path) {
  return path;
}

// The \\?\ and \\.\ prefixes say how a name is to be reached and are no part of it (their
// dot is no name's): \\?\UNC\server\share is \\server\share.
std::string withoutPrefix(const std::string& path) {
  if (path.compare(0, 8, "\\\\?\\UNC\\") == 0)
    return "\\\\" + path.substr(8);
  if (path.compare(0, 4, "\\\\?\\") == 0 || path.compare(0, 4, "\\\\.\\") == 0)
    return path.substr(4);
  return path;
}

// The typed directory is kept when it is the file's own, so that messages name the companions
// as the user named the header.
std::string headerName(const std::string& path, const File& header) {
  std::wstring own;
  if (!finalName(handleOf(header), own))
    return path;
  const std::string name = withoutPrefix(toUtf8(own.c_str()));
  const std::string typed = withoutPrefix(path);
  const size_t ownLeaf = name.rfind('\\') + 1;
  const std::string typedDirectory = typed.substr(0, fileNameStart(typed));
  // "dir\." names the directory itself, as "." and "D:." do where no directory was typed.
  BY_HANDLE_FILE_INFORMATION typedDir, ownDir;
  if (identityOf(systemPath(typedDirectory + "."), typedDir) &&
      identityOf(systemPath(name.substr(0, ownLeaf) + "."), ownDir) &&
      sameIdentity(typedDir, ownDir))
    return typedDirectory + name.substr(ownLeaf);
  return name;
}

bool namesOpenFile(const std::string& path, const File& file) {
  return namesFile(systemPath(path), handleOf(file));
}

// The open file's own name tells a spelling of it from a hard link (another name of the
// file) and from a link that Wine follows.
bool isOwnName(const std::string& path, const File& file) {
  const std::wstring name = systemPath(path);
  std::wstring own;
  return finalName(handleOf(file), own) && sameEntry(own, name) && namesFile(name, handleOf(file));
}

}  // namespace tallier

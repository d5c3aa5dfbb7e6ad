// Files on Windows: the run lock, the copy, removal and the renames that replace the header.
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common.h"
#include "platform_win32.h"

namespace tallier {

namespace {

// Windows locks are mandatory: a lock on the header's text would stop every other reader of
// it, the compiler among them. The run lock takes one byte far past the end of any header.
constexpr DWORD kLockOffsetHigh = 0x40000000;

// Only the attributes that say how a file may be used; the system keeps the others.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// A name of this process's own beside `path`, for a file on its way out; short, so that it
// fits wherever `path` does.
std::wstring asideName(const std::string& path) {
  const std::wstring full = systemPath(path);
  return full.substr(0, full.rfind(L'\\') + 1) + L"tallier-" +
         std::to_wstring(GetCurrentProcessId()) + L".del~";
}

// Gives the file open under `handle` the name `to`, replacing a file or link there.
bool renameOpenFile(HANDLE handle, const std::wstring& to) {
  const size_t bytes = to.size() * sizeof(wchar_t);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
  auto* const info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, to.data(), bytes);
  return SetFileInformationByHandle(handle, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size())) != 0;
}

// Frees the name of a link that Wine lets no call open or delete as itself (one that leads
// nowhere, or one it follows), or of a read-only hard link: a file of this run's own, deleted
// when closed, is renamed over it, which replaces the link itself and never touches what it
// leads to. Wine renames nothing over a link to a file that is open, the header among them:
// such a link stays, and its name cannot be had. The file is made anew: one that this run
// removed, but others still hold open, may wait under that name, and is no file of ours.
bool clearLinkName(const std::string& path) {
  const HANDLE doomed = CreateFileW(asideName(path).c_str(), DELETE, kShareAll, nullptr, CREATE_NEW,
                                    FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (doomed == INVALID_HANDLE_VALUE)
    return false;
  const bool replaced = renameOpenFile(doomed, systemPath(path));
  return CloseHandle(doomed) != 0 && replaced;
}

// The time the system last changed the open file in any way: a write, a new size, an
// attribute, its access rules, a name given or taken. SetFileTime, which tools use to put a
// write time back, leaves it alone.
bool changeTimeOf(HANDLE handle, int64_t& time) {
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info))
    return false;
  time = info.ChangeTime.QuadPart;
  return true;
}

int64_t sizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<int64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
}

int64_t writeTimeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<int64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
         info.ftLastWriteTime.dwLowDateTime;
}

// Byte for byte, as the system lists them.
bool sameAcl(const ACL* a, const ACL* b) {
  ACL_SIZE_INFORMATION sizeA, sizeB;
  if (a == nullptr || b == nullptr)
    return a == b;
  return GetAclInformation(const_cast<ACL*>(a), &sizeA, sizeof sizeA, AclSizeInformation) &&
         GetAclInformation(const_cast<ACL*>(b), &sizeB, sizeof sizeB, AclSizeInformation) &&
         sizeA.AclBytesInUse == sizeB.AclBytesInUse && std::memcmp(a, b, sizeA.AclBytesInUse) == 0;
}

// The header's DACL says who may use it, beyond what its directory grants a new file: the
// copy takes it where the two differ, and a run that cannot give it fails rather than widen
// who may read the header. Only a DACL that Windows keeps for the file (inherited from its
// directory automatically, or protected from it) is the header's own; one with neither mark
// is left to the directory: Wine makes such a DACL up from mode bits, and would map it back
// to wider ones (a 0600 header would become 0775).
bool copyAccessRules(HANDLE header, HANDLE copy, const std::wstring& copyName) {
  PACL kept = nullptr;
  PACL given = nullptr;
  PSECURITY_DESCRIPTOR headerRules = nullptr;
  PSECURITY_DESCRIPTOR copyRules = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  bool copied = true;
  if (GetSecurityInfo(header, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &kept,
                      nullptr, &headerRules) == ERROR_SUCCESS &&
      GetSecurityDescriptorControl(headerRules, &control, &revision) &&
      (control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED)) != 0 &&
      GetSecurityInfo(copy, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &given,
                      nullptr, &copyRules) == ERROR_SUCCESS &&
      !sameAcl(kept, given)) {
    // A DACL that follows its directory's takes its inherited entries from the copy's
    // directory; a protected one is set as it stands.
    const bool inherits = (control & SE_DACL_PROTECTED) == 0;
    copied = SetNamedSecurityInfoW(
                 const_cast<wchar_t*>(copyName.c_str()), SE_FILE_OBJECT,
                 DACL_SECURITY_INFORMATION | (inherits ? UNPROTECTED_DACL_SECURITY_INFORMATION
                                                       : PROTECTED_DACL_SECURITY_INFORMATION),
                 nullptr, nullptr, kept, nullptr) == ERROR_SUCCESS;
  }
  LocalFree(headerRules);
  LocalFree(copyRules);
  return copied;
}

}  // namespace

// Every call names its file by the full path, and nothing is kept open between them.
struct RunFiles::Directories {};

RunFiles::RunFiles() = default;

RunFiles::~RunFiles() = default;

// The lock that runs take on the header and on the copy's name (see fresh_file.h). Another
// program may hold a lock over the whole file for as long as it likes.
LockTry tryRunLock(File& file) {
  OVERLAPPED at = {};
  at.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
    return LockTry::kTaken;
  return GetLastError() == ERROR_LOCK_VIOLATION ? LockTry::kBusy : LockTry::kFailed;
}

int64_t monotonicMs() {
  return static_cast<int64_t>(GetTickCount64());
}

void sleepMs(int ms) {
  Sleep(static_cast<DWORD>(ms));
}

// A directory is opened too, so that what is no header can be told as such. Opening a device
// or a pipe acts on nothing and waits for nothing.
HeaderOpen openHeader(const std::string& path, File& header) {
  const HANDLE handle = CreateFileW(systemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_FILE_NOT_FOUND ? HeaderOpen::kAbsent : HeaderOpen::kRefused;
  header.handle = reinterpret_cast<intptr_t>(handle);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return HeaderOpen::kOpened;
  closeFile(header);
  return HeaderOpen::kNotRegular;
}

bool stampHeader(File& header) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(header), &info) ||
      !changeTimeOf(handleOf(header), header.openedChangeTime))
    return false;
  header.openedSize = sizeOf(info);
  header.openedWriteTime = writeTimeOf(info);
  return true;
}

// The renames that replace the header need only what removeFile needs.
bool mayReplace(const std::string&, const File&) {
  return true;
}

// A file created read-only still gives a handle that writes.
Created createFile(const std::string& path, const File& header, File& file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(header), &info))
    return Created::kFailed;
  const DWORD attributes = info.dwFileAttributes & kKeptAttributes;
  const HANDLE handle =
      CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                  attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    file.handle = reinterpret_cast<intptr_t>(handle);
    return Created::kCreated;
  }
  return GetLastError() == ERROR_FILE_EXISTS ? Created::kNameTaken : Created::kFailed;
}

// A name that Wine cannot open or remove as itself (a link that leads nowhere) looks like a
// file's own name here: opening it tells.
NameHolds whatNameHolds(const std::string& path, const File& header) {
  const std::wstring name = systemPath(path);
  const NameKind kind = nameKind(name);
  if (kind == NameKind::kSole)
    return NameHolds::kFile;
  return kind == NameKind::kHardLink && namesFile(name, handleOf(header)) ? NameHolds::kHeadersName
                                                                          : NameHolds::kLink;
}

Found openToLock(const std::string& path, File& file) {
  const HANDLE handle = CreateFileW(systemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    file.handle = reinterpret_cast<intptr_t>(handle);
    return Found::kOpened;
  }
  return GetLastError() == ERROR_FILE_NOT_FOUND ? Found::kGone : Found::kFailed;
}

void clearUnopenableName(const std::string& path) {
  clearLinkName(path);
}

// The attributes were the header's from the start: no write takes them away.
bool finishCopy(File& copy, const File&) {
  return FlushFileBuffers(handleOf(copy)) != 0;
}

bool holdFile(const File& file, File& held) {
  HANDLE handle = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handleOf(file), GetCurrentProcess(), &handle, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return false;
  held.handle = reinterpret_cast<intptr_t>(handle);
  return true;
}

bool closeFile(File& file) {
  const bool closed = CloseHandle(handleOf(file)) != 0;
  file.handle = -1;
  return closed;
}

// A file that is open elsewhere keeps its name until the last handle on it is closed, even
// once deleted, and the name could not be taken again. Moved aside first, under a name of
// this process's own beside it, it frees the name at once; opened to be deleted when that
// handle closes, it goes even when the process dies before the close. POSIX removes a
// read-only file from a directory that may be written, and so does this.
bool removeFile(const std::string& path) {
  const std::wstring name = systemPath(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return false;
  // A link goes without a change to the file it leads to; so does a hard link, whose
  // read-only attribute is that of the file's other names too.
  const NameKind kind = nameKind(name);
  if (kind == NameKind::kLink ||
      (kind == NameKind::kHardLink && (attributes & FILE_ATTRIBUTE_READONLY)))
    return clearLinkName(path);
  if ((attributes & FILE_ATTRIBUTE_READONLY) &&
      !SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
    return false;
  const HANDLE doomed =
      CreateFileW(name.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (doomed == INVALID_HANDLE_VALUE)
    return false;
  const bool aside = renameOpenFile(doomed, asideName(path));
  return CloseHandle(doomed) != 0 &&
         (aside || GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES);
}

// Windows gives no file the name of another while that one is open, and the header is open
// here for the run lock (and in every run waiting for it, and maybe in a compiler). It may be
// renamed though, read-only or not, as long as every handle on it shares deletion.
bool renamesOverOpenFiles() {
  return false;
}

// The change time moves on any change to the text (a write time put back too), the
// attributes or the access rules, so that the copy, made with the text, attributes and access
// rules the header had, is never more open than the header it replaces.
bool unchangedSinceLocked(const File& header) {
  int64_t changed = 0;
  return changeTimeOf(handleOf(header), changed) && changed == header.openedChangeTime;
}

// A change made in place shows in the size and the write time: the move aside changed the
// change time. What remains unseen is a write made between those looks and the moves through
// a handle opened before, which lands in the backup.
bool namesHeaderAsLocked(const std::string& path, const File& header) {
  BY_HANDLE_FILE_INFORMATION opened, named;
  return GetFileInformationByHandle(handleOf(header), &opened) &&
         identityOf(systemPath(path), named) && named.nFileIndexHigh == opened.nFileIndexHigh &&
         named.nFileIndexLow == opened.nFileIndexLow && sizeOf(named) == header.openedSize &&
         writeTimeOf(named) == header.openedWriteTime;
}

Moved moveFile(const std::string& from, const std::string& to) {
  if (MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(), MOVEFILE_WRITE_THROUGH))
    return Moved::kDone;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Moved::kNameTaken
                                                                     : Moved::kFailed;
}

// A file that any handle holds without delete sharing cannot be renamed over, and opening
// it for deletion is refused for the same reason; a directory is not opened at all. The
// handle is let go at once, since no file is replaced while open. Wine renames nothing over
// a link to a file that is open anywhere (the header, when the link leads there), and opens
// that file for the link: opened without sharing, it is found in use.
bool nameCanBeTaken(const std::string& path) {
  const std::wstring name = systemPath(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return false;
  const DWORD sharing = nameKind(name) == NameKind::kLink ? 0 : kShareAll;
  const HANDLE handle = CreateFileW(name.c_str(), DELETE, sharing, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(handle);
  return true;
}

// Windows replaces no read-only file, and a backup is read-only when its header was. A link
// is replaced itself, and the file it leads to keeps its attributes.
Moved replaceFile(const std::string& from, const std::string& to) {
  const std::wstring target = systemPath(to);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
                            FILE_ATTRIBUTE_READONLY &&
                        nameKind(target) == NameKind::kSole;
  if (readOnly && !SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
    return Moved::kFailed;
  if (MoveFileExW(systemPath(from).c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return Moved::kDone;
  // A file that is open is not replaced, and a directory never is.
  const DWORD error = GetLastError();
  if (readOnly)
    SetFileAttributesW(target.c_str(), attributes);
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? Moved::kNameBusy
                                                                          : Moved::kFailed;
}

// Windows lets no unprivileged process flush a directory: the copy was flushed before it
// took the name, with a rename that waits for the disk, and the rename itself is as
// durable as the file system's journal makes it.
bool syncDirectories(const std::string&, const std::string&) {
  return true;
}

// Windows gives no file away: the copy takes the header's access rules instead, before
// anything is written to it.
Ownership copyOwnership(const File& header, const File& copy, const std::string& path) {
  return copyAccessRules(handleOf(header), handleOf(copy), systemPath(path)) ? Ownership::kKept
                                                                             : Ownership::kFailed;
}

// The header moves to its scratch name when it is replaced (see replace.cc).
bool linkOld(File&, const std::string&, const std::string&) {
  return true;
}

}  // namespace tallier

// What the Windows units of the platform layer share: names, handles and locks.
#ifndef TALLIER_PLATFORM_WIN32_H_
#define TALLIER_PLATFORM_WIN32_H_

#include <windows.h>

#include <string>

#include "platform.h"

namespace tallier {

// A waiting run holds the header open while the run before it moves the header aside, and
// others (a compiler, a backup copy) may read it meanwhile: no handle may stand in their way.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// The HANDLE that `file` holds.
inline HANDLE handleOf(const File& file) {
  return reinterpret_cast<HANDLE>(file.handle);
}

/// UTF-8, the tool's own text, as the UTF-16 that Windows takes.
std::wstring widen(const std::string& text);

/// A UTF-16 text from Windows as UTF-8.
std::string toUtf8(const wchar_t* text);

/// The form of `path` that every call on the system is given (see platform_win32_names.cc).
std::wstring systemPath(const std::string& path);

/// What the system tells of the file that `path` names, its identity among it (its volume
/// and its index there, whatever name reached it).
bool identityOf(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info);

/// True when `path` still names the file open under `handle`.
bool namesFile(const std::wstring& path, HANDLE handle);

/// The system's own name for the open file, in the \\?\ form.
bool finalName(HANDLE handle, std::wstring& name);

/// What a name is to its file, the name itself not followed.
enum class NameKind {
  kSole,      ///< its only name, or a name that reaches nothing
  kHardLink,  ///< one of the names of a file that has several
  kLink       ///< a link to another name (symbolic, or a junction)
};

/// What `path` is to the file it reaches.
NameKind nameKind(const std::wstring& path);

}  // namespace tallier

#endif  // TALLIER_PLATFORM_WIN32_H_

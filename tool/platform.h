// The few file operations a run needs, with the same behaviour on POSIX and Windows.
#ifndef TALLIER_PLATFORM_H_
#define TALLIER_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tallier {

/// An open file: a descriptor on POSIX, a HANDLE on Windows.
struct File {
  intptr_t handle = -1;
  /// Windows text reading: a carriage return that ended a read, waiting to see its line feed.
  bool heldCarriageReturn = false;
};

/// Where a bulk copy failed.
enum class CopyError { kNone, kRead, kWrite };

/// The arguments after the program's name: as given on POSIX; on Windows taken from the wide
/// command line and held as UTF-8, so that no character is lost to the ANSI code page.
std::vector<std::string> programArguments(int argc, char** argv);

/// Writes the driver's text to standard output and flushes it; false when that failed.
bool writeOutput(const std::string& text);

/// Follows symbolic links at the end of `path` to the file they lead to (on Windows, where
/// headerName does that once the file is open, `path` as it is).
std::string resolveLinks(const std::string& path);

/// The open header's own name, from which its companions' names are made: on POSIX `path`,
/// whose links were followed before it was opened; on Windows the system's name for the file,
/// free of short names, other cases, trailing dots and links, in the plain form of messages.
std::string headerName(const std::string& path, const File& header);

/// Opens the header for reading and waits for the lock that serialises runs on it. The lock
/// lasts until the file is closed, and the system drops it when the process dies.
bool openLockedHeader(const std::string& path, File& header);

/// Creates the rewritten copy anew, with the permission bits (and, where allowed, the owner)
/// of `header`, or on Windows its attributes (read-only among them). A leftover file or link of
/// that name is removed first, never written through.
bool createCopy(const std::string& path, const File& header, File& copy);

/// Reads up to `size` bytes as text; returns the count, 0 at the end, -1 on error.
ptrdiff_t readText(File& file, char* data, size_t size);

/// Writes all of `data` as text.
bool writeText(File& file, const char* data, size_t size);

/// Copies what is left of `from` to the end of `to`, as readText and writeText would.
CopyError copyRest(File& from, File& to);

/// Forces the file's contents to stable storage.
bool syncFile(File& file);

/// Closes the file; false when data could not be written out.
bool closeFile(File& file);

/// Removes a file; true when none is left under that name.
bool removeFile(const std::string& path);

/// True when `path` names the open `file`, however it is spelt (a file system may ignore
/// case, Windows ignores trailing spaces).
bool namesOpenFile(const std::string& path, const File& file);

/// How a replacement that keeps the replaced file ended.
enum class Replaced {
  kNot,         ///< `from` could not take `to`'s name
  kOldNotKept,  ///< the file at `to` could not be kept under `old`, so nothing was replaced
  kKeepingOld   ///< `from` has `to`'s name and the file that had it is under `old`
};

/// Gives `to`'s name to `from` and keeps the file that had it under the free name `old`. On
/// POSIX `to` names a whole file throughout; unless it succeeds, every name is as it was and
/// `old` is free.
Replaced replaceKeepingOld(const std::string& from, const std::string& to, const std::string& old);

/// Undoes replaceKeepingOld: the file kept under `old` takes `to`'s name again, and the file
/// that had it is gone (on POSIX in one rename). False when `to` still names the new file.
bool restoreOld(const std::string& old, const std::string& to, const std::string& from);

/// True when a rename may give `path`'s name to another file: the name is free or names a
/// file (not a directory) that nothing holds open against its removal.
bool nameCanBeTaken(const std::string& path);

/// Gives `to`'s name to `from`, replacing the file there (a read-only one too) in one step.
bool replaceFile(const std::string& from, const std::string& to);

/// Makes the latest changes to the names in the directories of `a` and `b` durable.
bool syncDirectories(const std::string& a, const std::string& b);

}  // namespace tallier

#endif  // TALLIER_PLATFORM_H_

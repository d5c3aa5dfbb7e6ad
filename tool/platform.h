// The few file operations a run needs, with the same behaviour on POSIX and Windows.
#ifndef TALLIER_PLATFORM_H_
#define TALLIER_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tallier {

/// An open file: a descriptor on POSIX, a HANDLE on Windows.
struct File {
  intptr_t handle = -1;
  /// The header as it was when its lock was taken, to tell whether another program changed it
  /// since: its size, its last write (Windows), and its last change of text, attributes,
  /// permissions or names, which no program can set back (POSIX st_ctim, Windows ChangeTime),
  /// in the system's own units (see stampHeader).
  int64_t openedSize = 0;
  int64_t openedWriteTime = 0;
  int64_t openedChangeTime = 0;
};

/// What the file operations keep open for one run, owned by the run and closed when it ends:
/// on POSIX the directories that every name of the run is reached through, each opened at its
/// first use (nothing on Windows). The file operations below need one to exist.
class RunFiles {
 public:
  struct Directories;
  RunFiles();
  ~RunFiles();
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;

 private:
  std::unique_ptr<Directories> directories_;
};

/// The arguments after the program's name: as given on POSIX; on Windows taken from the wide
/// command line and held as UTF-8, so that no character is lost to the ANSI code page.
std::vector<std::string> programArguments(int argc, char** argv);

/// Readies the process for the run: the limits it meets (a closed output pipe, a file-size
/// limit) fail the calls that meet them, as other errors do, instead of ending the process
/// unannounced; and on POSIX a standard stream that was closed is taken by a file that
/// refuses writes, so that no file of the run's can take its number and be written to as
/// standard output.
void prepareProcess();

/// Writes the driver's text to standard output and flushes it; false when that failed.
bool writeOutput(std::string_view text);

/// Milliseconds on a clock that never goes back, from an arbitrary start.
int64_t monotonicMs();

/// Waits `ms` milliseconds.
void sleepMs(int ms);

/// Follows symbolic links at the end of `path` to the file they lead to (on Windows, where
/// headerName does that once the file is open, `path` as it is).
std::string resolveLinks(const std::string& path);

/// The open header's own name, from which its companions' names are made: on POSIX `path`,
/// whose links were followed before it was opened; on Windows the system's name for the file,
/// free of short names, other cases, trailing dots and links, in the plain form of messages.
std::string headerName(const std::string& path, const File& header);

/// How opening a header ended.
enum class HeaderOpen {
  kOpened,     ///< open for reading, its lock not yet taken
  kAbsent,     ///< nothing has the name
  kRefused,    ///< it cannot be opened (no permission, no such directory)
  kNotRegular  ///< a directory, a device, a FIFO: nothing a run may read as a header
};

/// Opens `path`, followed, for reading and for locking (see openToLock), without blocking on
/// what is not a regular file: a device is not even opened, since that may act on it.
HeaderOpen openHeader(const std::string& path, File& header);

/// Takes the open header's size and times as they are now, against which
/// unchangedSinceLocked and namesHeaderAsLocked tell another program's change. On POSIX it
/// first writes back pages that a program dirtied through a shared mapping, so that its next
/// write through the mapping moves the change time.
bool stampHeader(File& header);

/// How one try at a lock ended.
enum class LockTry { kTaken, kBusy, kFailed };

/// Tries once, without waiting, the lock that runs take in turns on the open `file` (the
/// header, or the copy's name). Waiting for it is lock_wait's.
LockTry tryRunLock(File& file);

/// False when the run could not rename its copy over the open header, nor the header to its
/// scratch name: on POSIX in a directory where only a file's owner may rename it (the sticky
/// bit, as /tmp), for a run that owns neither the header nor the directory.
bool mayReplace(const std::string& path, const File& header);

/// How creating a file ended.
enum class Created { kCreated, kNameTaken, kFailed };

/// Creates `path` anew for writing where the name is free, for the rewritten copy of
/// `header`: private to the run on POSIX, on Windows with the header's attributes (read-only
/// among them); copyOwnership and finishCopy give it the rest of the header's permissions.
Created createFile(const std::string& path, const File& header, File& file);

/// What a name holds, itself not followed.
enum class NameHolds {
  kNothing,      ///< nothing: the name is free
  kLink,         ///< a link, or another name of a file that has several: only the name goes
  kHeadersName,  ///< another name of the open header
  kFile,         ///< a file, which a run may hold open and locked
  kOther         ///< what is no file a run leaves (a directory, a device), or no answer
};

/// What `path` holds, for `header`'s run.
NameHolds whatNameHolds(const std::string& path, const File& header);

/// How opening a file found under a name ended.
enum class Found { kOpened, kGone, kFailed };

/// Opens the file that `path` holds, not following a link there, to lock it: for writing too
/// where the run may, which the Windows program's lock needs under Wine; nothing is written
/// through it. kGone when nothing is there to open.
Found openToLock(const std::string& path, File& file);

/// Frees a name found taken that no call could open, twice in a row: under Wine a link that
/// leads nowhere, which no call opens or removes as itself (Windows). Nothing on POSIX, where
/// whatNameHolds tells a link.
void clearUnopenableName(const std::string& path);

/// How giving the copy the header's owner ended.
enum class Ownership {
  kKept,          ///< the copy is the owner's, or they keep the access the header gave them
  kOwnerLeftOut,  ///< the copy cannot be theirs, and they would lose access to it
  kGroupLeftOut,  ///< the copy cannot have the header's group, and access would change
  kFailed         ///< the system refused for another reason
};

/// Gives the copy, open under `path`, the owner and group of `header` where the process may
/// (on POSIX; on Windows, which gives no file away, the header's own access rules). A process that
/// may not give files away keeps the copy, with the header's group when that is one of its own; the
/// header's owner then keeps what the header let them do: where the file system keeps ACLs,
/// finishCopy gives them an entry of their own; without ACLs the copy's group bits, and other bits
/// unless it keeps the header's group (an owner is taken to be in their file's group), must grant
/// all their owner bits did, or the result is kOwnerLeftOut. The same for the header's group, when
/// the copy cannot have it: finishCopy gives it an entry of its own and the copy's group no more
/// than the header gave that group; without ACLs the header's group bits must equal its other
/// bits, or the result is kGroupLeftOut.
Ownership copyOwnership(const File& header, const File& copy, const std::string& path);

/// Reads up to `size` bytes as text; returns the count, 0 at the end, -1 on error.
ptrdiff_t readText(File& file, char* data, size_t size);

/// Writes all of `data` as text.
bool writeText(File& file, const char* data, size_t size);

/// Copies what it can of the rest of `from` to the end of `to` without passing the bytes
/// through the run, where text needs no conversion (POSIX; on Windows nothing). It stops at the
/// first refusal, with both offsets past what it copied: readText and writeText carry the rest.
void copyDirect(File& from, File& to);

/// Gives the written copy the permission bits of `original` (on POSIX after the last write,
/// which clears the set-user-ID and set-group-ID bits, and with its access ACL, which may name
/// its owner, see ownerKeepsAccess) and forces it to stable storage.
bool finishCopy(File& copy, const File& original);

/// Opens a second handle on `file`, which keeps its lock once `file` itself is closed.
bool holdFile(const File& file, File& held);

/// Closes the file; false when data could not be written out.
bool closeFile(File& file);

/// Removes a file; true when none is left under that name.
bool removeFile(const std::string& path);

/// True when `path`, not followed, is the open `file`'s own name in another spelling (a file
/// system may ignore case, Windows ignores trailing spaces); false for a link to it, symbolic
/// or hard, which is a name of its own.
bool isOwnName(const std::string& path, const File& file);

/// True when `path`, not followed, names the open `file`, under any of its names.
bool namesOpenFile(const std::string& path, const File& file);

/// Where a file may have two names (POSIX), gives the open header at `to` the free name `old`
/// before the run reads it, and takes its stamps anew (stampHeader): the change check then
/// sees every change made since, but not the run's own link. Elsewhere does nothing, and the
/// header steps aside to `old` when it is replaced.
bool linkOld(File& header, const std::string& to, const std::string& old);

/// True where a rename may give an open file's name to another file (POSIX); false where the
/// open file must first leave its name (Windows).
bool renamesOverOpenFiles();

/// True when nothing changed the open header since it was locked (or linkOld took its stamps
/// anew): its text, its size, its permissions, attributes and names. Windows counts a move
/// as a change, so it is asked before the header steps aside.
bool unchangedSinceLocked(const File& header);

/// True when `path`, not followed, names the open `header` with the size and the last write
/// it had when it was locked. Asked of the name: Wine no longer tells the volume of an open
/// file that another handle moved.
bool namesHeaderAsLocked(const std::string& path, const File& header);

/// How a move or a replacement ended.
enum class Moved {
  kDone,
  kNameTaken,  ///< a file or link has the name, which a move to a free name leaves alone
  kNameBusy,   ///< a program holds the file under the name in a way that stops its replacement
  kFailed
};

/// Gives `from`'s file the name `to`, unless a file or link has it.
Moved moveFile(const std::string& from, const std::string& to);

/// True when a rename may give `path`'s name to another file: the name is free or names a
/// file (not a directory) that nothing holds open against its removal.
bool nameCanBeTaken(const std::string& path);

/// Gives `to`'s name to `from`, replacing the file there (a read-only one too) in one step.
Moved replaceFile(const std::string& from, const std::string& to);

/// Makes the latest changes to the names in the directories of `a` and `b` durable.
bool syncDirectories(const std::string& a, const std::string& b);

}  // namespace tallier

#endif  // TALLIER_PLATFORM_H_

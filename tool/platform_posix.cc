#include <endian.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "common.h"
#include "platform.h"
#include "text_copy.h"

namespace tallier {

namespace {

// Linux allows 40 links in one path; a longer chain is a loop.
constexpr int kMaxLinkHops = 40;

// A longer directory path is opened a piece at a time, each piece well within PATH_MAX.
constexpr size_t kPathPiece = 2048;

constexpr char kAccessAcl[] = "system.posix_acl_access";

// The Windows program locks one byte far past the end of any header, and Wine keeps that
// lock as a record lock that its server holds on the same byte of the file. A run takes one
// there too, so that runs of the two programs on one header take turns.
constexpr off_t kWindowsLockByte = off_t{1} << 62;

// The layout of that attribute: a version, then entries sorted by tag and then id, all
// little-endian.
constexpr uint32_t kAclVersion = 2;
constexpr size_t kAclHeaderSize = 4;
constexpr size_t kAclEntrySize = 8;
constexpr uint16_t kAclUserObj = 0x01;
constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroupObj = 0x04;
constexpr uint16_t kAclGroup = 0x08;
constexpr uint16_t kAclMask = 0x10;
constexpr uint16_t kAclOther = 0x20;
constexpr uint32_t kAclNoId = 0xffffffff;

struct AclEntry {
  uint16_t tag;
  uint16_t perm;
  uint32_t id;
};

int fd(const File& file) {
  return static_cast<int>(file.handle);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int64_t changeTimeOf(const struct stat& st) {
  return int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
}

mode_t ownerBits(const struct stat& st) {
  return st.st_mode >> 6 & 7;
}

mode_t groupBits(const struct stat& st) {
  return st.st_mode >> 3 & 7;
}

// A process that may not give files away made `copy` its own: the header's owner would be
// one of the others on it, and lose what only the owner had. Root loses nothing.
bool ownerLeftOut(const struct stat& header, const struct stat& copy) {
  return copy.st_uid != header.st_uid && header.st_uid != 0 && ownerBits(header) != 0;
}

// Opens a directory however long its path: a piece at a time, each relative to the last.
int openDirectory(const std::string& path, int flags) {
  int at = AT_FDCWD;
  size_t from = 0;
  while (path.size() - from > kPathPiece) {
    const size_t cut = path.rfind('/', from + kPathPiece);
    if (cut == std::string::npos || cut < from) {
      if (at != AT_FDCWD)
        close(at);
      errno = ENAMETOOLONG;
      return -1;
    }
    const std::string piece = cut == from ? (from == 0 ? "/" : ".") : path.substr(from, cut - from);
    const int next = openat(at, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (at != AT_FDCWD)
      close(at);
    if (next < 0)
      return -1;
    at = next;
    from = cut + 1;
  }
  const int d = openat(at, path.c_str() + from, flags | O_DIRECTORY | O_CLOEXEC);
  if (at != AT_FDCWD)
    close(at);
  return d;
}

// A directory of the run, held open from its first use until the run ends.
struct Directory {
  int fd;
  // Opened for reading, as fsync needs; a directory that may be written but not listed
  // (mode 0300) is only reachable.
  bool readable;
};

}  // namespace

struct RunFiles::Directories {
  std::map<std::string, Directory, std::less<>> opened;
};

namespace {

// Those of the run under way, which the file operations below reach them through.
RunFiles::Directories* runDirectories = nullptr;

// Every name a run uses is reached through its directory, opened once: a path of any length
// works, and a directory renamed or replaced meanwhile is still the one the run began in, so
// that the header, its companions and the directory synced after the rename stay together.
const Directory* directoryAt(std::string_view path) {
  if (runDirectories == nullptr)
    return nullptr;
  auto& opened = runDirectories->opened;
  const auto found = opened.find(path);
  if (found != opened.end())
    return &found->second;
  const std::string spelling(path);
  Directory directory{openDirectory(spelling, O_RDONLY), true};
  if (directory.fd < 0 && errno == EACCES)
    directory = Directory{openDirectory(spelling, O_PATH), false};
  if (directory.fd < 0)
    return nullptr;
  return &opened.emplace(spelling, directory).first->second;
}

// A path as its directory, held open, and the name in it. Without the directory: whether it
// is missing, and every name in it with it.
struct Name {
  const Directory* directory;
  std::string leaf;
  bool directoryMissing;
};

Name nameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string_view directory = ".";
  if (slash != std::string::npos)
    directory = slash == 0 ? std::string_view("/") : std::string_view(path).substr(0, slash);
  const Directory* const opened = directoryAt(directory);
  // Asked at once, while errno still tells why the directory could not be opened.
  const bool missing = opened == nullptr && errno == ENOENT;
  return {opened, slash == std::string::npos ? path : path.substr(slash + 1), missing};
}

// Looks `path` up without following a link there.
bool lookUp(const Name& name, struct stat& st) {
  if (name.directory == nullptr)
    return false;
  return fstatat(name.directory->fd, name.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Whether `name` still names the open file `d`.
bool stillNamed(int d, const Name& name) {
  struct stat opened, named;
  return fstat(d, &opened) == 0 && lookUp(name, named) && sameFile(opened, named);
}

// Opens a file to be locked: for writing too where the run may, which the Windows program's
// lock needs; nothing is written through it.
int openLockable(int dir, const char* leaf) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  const int d = openat(dir, leaf, O_RDWR | kFlags);
  if (d >= 0 || (errno != EACCES && errno != EPERM && errno != EROFS && errno != ETXTBSY))
    return d;
  return openat(dir, leaf, O_RDONLY | kFlags);
}

// Takes the Windows program's lock on `d`, held by the open file, not the process, like
// flock; false with EWOULDBLOCK while a Windows run holds it. Wine's server takes it as a
// write lock on a file its run opened for writing (a copy), as a read lock on one opened only
// for reading (the header). A file the run may only read takes a read lock, which stops a
// Windows run from locking its copy, and then looks for a read lock of Wine's: such a run
// waits for a Windows run it sees on the header, but cannot stop one. A system without such
// locks has no Wine to share them with.
bool windowsLockTaken(int d) {
#ifdef F_OFD_SETLK
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kWindowsLockByte;
  lock.l_len = 1;
  bool held = fcntl(d, F_OFD_SETLK, &lock) != 0 && (errno == EAGAIN || errno == EACCES);
  if (!held && errno == EBADF) {
    lock.l_type = F_RDLCK;
    if (fcntl(d, F_OFD_SETLK, &lock) != 0) {
      held = errno == EAGAIN || errno == EACCES;
    } else {
      lock.l_type = F_WRLCK;
      held = fcntl(d, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    }
  }
  if (held)
    errno = EWOULDBLOCK;
  return !held;
#else
  static_cast<void>(d);
  return true;
#endif
}

// Only a privileged process may give the file away; anyone else keeps it as their own, but
// still gives it the header's group when that is one of their groups.
bool copyOwner(int d, const struct stat& st) {
  if (fchown(d, st.st_uid, st.st_gid) == 0)
    return true;
  if (errno != EPERM)
    return false;
  return fchown(d, static_cast<uid_t>(-1), st.st_gid) == 0 || errno == EPERM;
}

// Entries of an access ACL as the system stores it; false when it is not in that form.
bool parseAcl(const std::vector<char>& acl, std::vector<AclEntry>& entries) {
  uint32_t version = 0;
  if (acl.size() < kAclHeaderSize || (acl.size() - kAclHeaderSize) % kAclEntrySize != 0)
    return false;
  std::memcpy(&version, acl.data(), sizeof version);
  if (le32toh(version) != kAclVersion)
    return false;
  for (size_t at = kAclHeaderSize; at < acl.size(); at += kAclEntrySize) {
    AclEntry entry;
    std::memcpy(&entry.tag, &acl[at], 2);
    std::memcpy(&entry.perm, &acl[at + 2], 2);
    std::memcpy(&entry.id, &acl[at + 4], 4);
    entries.push_back({le16toh(entry.tag), le16toh(entry.perm), le32toh(entry.id)});
  }
  return true;
}

// The header's ACL (`entries`, or what its mode bits stand for when it has none) for a copy
// that the header's owner or group does not own. Its owner gets an entry holding their owner
// bits. Its group gets one holding its group bits, and the copy's own group keeps what the
// header gave it: its entry there, or else the other bits. The mask widens to let those
// through; the other entries under it keep only what the header's mask let them have, so that
// no one else gains anything.
std::vector<char> aclForCopy(std::vector<AclEntry> entries, const struct stat& header,
                             const struct stat& copy) {
  if (entries.empty())
    entries = {{kAclUserObj, static_cast<uint16_t>(ownerBits(header)), kAclNoId},
               {kAclGroupObj, static_cast<uint16_t>(groupBits(header)), kAclNoId},
               {kAclOther, static_cast<uint16_t>(header.st_mode & 7), kAclNoId}};
  const bool ownerOut = ownerLeftOut(header, copy);
  const bool groupOut = copy.st_gid != header.st_gid;
  uint16_t mask = 0;
  for (const AclEntry& entry : entries)
    if (entry.tag == kAclGroupObj)
      mask = entry.perm;
  for (const AclEntry& entry : entries)
    if (entry.tag == kAclMask)
      mask = entry.perm;
  uint16_t copyGroup = static_cast<uint16_t>(header.st_mode & 7);
  for (const AclEntry& entry : entries)
    if (entry.tag == kAclGroup && entry.id == copy.st_gid)
      copyGroup = entry.perm & mask;
  entries.erase(
      std::remove_if(entries.begin(), entries.end(),
                     [&](const AclEntry& entry) {
                       return entry.tag == kAclMask ||
                              (ownerOut && entry.tag == kAclUser && entry.id == header.st_uid) ||
                              (groupOut && entry.tag == kAclGroup &&
                               (entry.id == header.st_gid || entry.id == copy.st_gid));
                     }),
      entries.end());
  uint16_t headerGroup = 0;
  for (AclEntry& entry : entries) {
    if (entry.tag == kAclUser || entry.tag == kAclGroupObj || entry.tag == kAclGroup)
      entry.perm &= mask;
    if (groupOut && entry.tag == kAclGroupObj) {
      headerGroup = entry.perm;
      entry.perm = copyGroup;
    }
  }
  if (groupOut) {
    entries.push_back({kAclGroup, headerGroup, static_cast<uint32_t>(header.st_gid)});
    mask |= copyGroup;
  }
  const uint16_t owner = static_cast<uint16_t>(ownerBits(header));
  if (ownerOut) {
    entries.push_back({kAclUser, owner, static_cast<uint32_t>(header.st_uid)});
    mask |= owner;
  }
  entries.push_back({kAclMask, mask, kAclNoId});
  std::sort(entries.begin(), entries.end(), [](const AclEntry& a, const AclEntry& b) {
    return a.tag != b.tag ? a.tag < b.tag : a.id < b.id;
  });
  std::vector<char> acl(kAclHeaderSize + entries.size() * kAclEntrySize);
  const uint32_t version = htole32(kAclVersion);
  std::memcpy(acl.data(), &version, sizeof version);
  size_t at = kAclHeaderSize;
  for (const AclEntry& entry : entries) {
    const AclEntry stored{htole16(entry.tag), htole16(entry.perm), htole32(entry.id)};
    std::memcpy(&acl[at], &stored.tag, 2);
    std::memcpy(&acl[at + 2], &stored.perm, 2);
    std::memcpy(&acl[at + 4], &stored.id, 4);
    at += kAclEntrySize;
  }
  return acl;
}

// The access ACL says who may read the header beyond its permission bits; without it the
// copy's group bits would be the ACL's mask, which may grant the group what it never had.
// A copy that inherited an ACL from its directory loses it when the header has none. Copied
// as the system stores it, so that no library needs to be linked in, with entries for the
// header's owner and group when the copy is not theirs. After the mode bits, whose group bits
// would otherwise set the mask: the ACL sets them.
bool copyAccessAcl(int from, int to) {
  struct stat header, copy;
  if (fstat(from, &header) != 0 || fstat(to, &copy) != 0)
    return false;
  std::vector<char> acl;
  ssize_t size = fgetxattr(from, kAccessAcl, nullptr, 0);
  if (size < 0 && errno == ENOTSUP)
    return true;
  if (size < 0 && errno != ENODATA)
    return false;
  if (size > 0) {
    acl.resize(static_cast<size_t>(size));
    size = fgetxattr(from, kAccessAcl, acl.data(), acl.size());
    if (size < 0)
      return false;
    acl.resize(static_cast<size_t>(size));
  }
  if (ownerLeftOut(header, copy) || copy.st_gid != header.st_gid) {
    std::vector<AclEntry> entries;
    if (!acl.empty() && !parseAcl(acl, entries))
      return false;
    acl = aclForCopy(entries, header, copy);
  }
  if (acl.empty())
    return fremovexattr(to, kAccessAcl) == 0 || errno == ENODATA;
  return fsetxattr(to, kAccessAcl, acl.data(), acl.size(), 0) == 0;
}

// Makes `backup` hold the header's current bytes without moving the header away.
bool linkBackup(const std::string& header, const std::string& backup) {
  const Name from = nameOf(header);
  const Name to = nameOf(backup);
  if (from.directory == nullptr || to.directory == nullptr)
    return false;
  if (linkat(from.directory->fd, from.leaf.c_str(), to.directory->fd, to.leaf.c_str(), 0) == 0)
    return true;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK && errno != EXDEV && errno != ENOSYS)
    return false;
  // The file system has no hard links: a synced copy stands in.
  File in, out;
  in.handle = openat(from.directory->fd, from.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in.handle < 0)
    return false;
  bool made = createFile(backup, in, out) == Created::kCreated;
  if (made) {
    std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
    made = copyOwnership(in, out, backup) != Ownership::kFailed &&
           copyRest(in, out, buffer.get(), kCopyBufferSize) == CopyError::kNone &&
           finishCopy(out, in);
    made = closeFile(out) && made;
  }
  closeFile(in);
  if (!made)
    removeFile(backup);
  return made;
}

// Whether the process may rename any user's file (CAP_FOWNER, which root has).
bool actsForAnyOwner() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capget, &header, data) == 0 &&
         (data[CAP_FOWNER / 32].effective >> (CAP_FOWNER % 32) & 1) != 0;
}

// `file` names a file on the directory's file system.
bool syncDirectory(const Directory& directory, const Name& file) {
  if (!directory.readable) {
    // A directory that cannot be opened for reading cannot be synced on its own: the whole
    // file system that holds it is, through a file there.
    const int d = openat(file.directory->fd, file.leaf.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (d < 0)
      return false;
    const bool synced = syncfs(d) == 0;
    return close(d) == 0 && synced;
  }
  // Some file systems cannot sync a directory and say so with EINVAL; their renames are
  // as durable as they get.
  return fsync(directory.fd) == 0 || errno == EINVAL;
}

// A program that wrote to the header through a shared mapping may write there again without
// the change time moving, until the dirty pages are written back: that makes them read-only
// again, so that its next write moves the change time. Cheap when nothing is dirty.
bool writtenBack(int d) {
#ifdef __linux__
  constexpr unsigned kWriteBack =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  return sync_file_range(d, 0, 0, kWriteBack) == 0 || fdatasync(d) == 0;
#else
  return fdatasync(d) == 0;
#endif
}

}  // namespace

RunFiles::RunFiles() : directories_(new Directories) {
  runDirectories = directories_.get();
}

// Only looked up and synced through: closing them loses nothing.
RunFiles::~RunFiles() {
  for (const auto& opened : directories_->opened)
    close(opened.second.fd);
  runDirectories = nullptr;
}

std::vector<std::string> programArguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

void prepareProcess() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Where /dev/null is missing (a bare chroot) the stream stays closed, and the run's first
  // file, its directory, is one that no write reaches.
  for (int stream = 0; stream <= 2; ++stream) {
    if (fcntl(stream, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDONLY) != stream)
      break;
  }
}

bool writeOutput(std::string_view text) {
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written;
}

int64_t monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

void sleepMs(int ms) {
  const timespec wait{ms / 1000, ms % 1000 * 1000000L};
  nanosleep(&wait, nullptr);
}

std::string resolveLinks(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    const Name name = nameOf(current);
    struct stat st;
    if (!lookUp(name, st) || !S_ISLNK(st.st_mode))
      return current;
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    const ssize_t length =
        readlinkat(name.directory->fd, name.leaf.c_str(), &target[0], target.size());
    if (length <= 0 || static_cast<size_t>(length) >= target.size())
      return current;
    target.resize(static_cast<size_t>(length));
    const size_t slash = current.rfind('/');
    if (target[0] == '/' || slash == std::string::npos)
      current = target;
    else
      current = current.substr(0, slash + 1) + target;
  }
  return current;
}

std::string headerName(const std::string& path, const File&) {
  return path;
}

// Looked at before it is opened: opening a device may act on it, and a FIFO would wait.
HeaderOpen openHeader(const std::string& path, File& header) {
  Name name = nameOf(path);
  if (name.directory == nullptr)
    return HeaderOpen::kRefused;
  // "dir/" names the directory itself.
  if (name.leaf.empty())
    name.leaf = ".";
  struct stat st;
  if (fstatat(name.directory->fd, name.leaf.c_str(), &st, 0) != 0)
    return errno == ENOENT ? HeaderOpen::kAbsent : HeaderOpen::kRefused;
  if (!S_ISREG(st.st_mode))
    return HeaderOpen::kNotRegular;
  header.handle = openLockable(name.directory->fd, name.leaf.c_str());
  if (header.handle < 0)
    return errno == ENOENT ? HeaderOpen::kAbsent : HeaderOpen::kRefused;
  // It may have been swapped for something else in between.
  if (fstat(fd(header), &st) == 0 && S_ISREG(st.st_mode))
    return HeaderOpen::kOpened;
  closeFile(header);
  return HeaderOpen::kNotRegular;
}

bool stampHeader(File& header) {
  struct stat st;
  if (!writtenBack(fd(header)) || fstat(fd(header), &st) != 0)
    return false;
  header.openedChangeTime = changeTimeOf(st);
  header.openedSize = st.st_size;
  return true;
}

// Where the directory cannot be looked at, the renames tell.
bool mayReplace(const std::string& path, const File& header) {
  const Name name = nameOf(path);
  struct stat dir, st;
  const uid_t me = geteuid();
  return name.directory != nullptr && fstat(fd(header), &st) == 0 &&
         (fstat(name.directory->fd, &dir) != 0 || (dir.st_mode & S_ISVTX) == 0 || st.st_uid == me ||
          dir.st_uid == me || actsForAnyOwner());
}

Created createFile(const std::string& path, const File&, File& file) {
  const Name name = nameOf(path);
  if (name.directory == nullptr)
    return Created::kFailed;
  file.handle =
      openat(name.directory->fd, name.leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file.handle >= 0)
    return Created::kCreated;
  return errno == EEXIST ? Created::kNameTaken : Created::kFailed;
}

// Anything but a regular file is no leftover copy, and is not even opened (a device might
// act on it).
NameHolds whatNameHolds(const std::string& path, const File& header) {
  struct stat named, opened;
  if (!lookUp(nameOf(path), named))
    return errno == ENOENT ? NameHolds::kNothing : NameHolds::kOther;
  if (fstat(fd(header), &opened) == 0 && sameFile(named, opened))
    return NameHolds::kHeadersName;
  if (S_ISLNK(named.st_mode) || (S_ISREG(named.st_mode) && named.st_nlink > 1))
    return NameHolds::kLink;
  return S_ISREG(named.st_mode) ? NameHolds::kFile : NameHolds::kOther;
}

// One that the run may not open may be the copy of another user's live run, in a directory
// that anyone may write to: it cannot be locked, and is not the run's to remove.
Found openToLock(const std::string& path, File& file) {
  const Name name = nameOf(path);
  if (name.directory == nullptr)
    return Found::kFailed;
  file.handle = openLockable(name.directory->fd, name.leaf.c_str());
  if (file.handle >= 0)
    return Found::kOpened;
  return errno == ENOENT || errno == ELOOP ? Found::kGone : Found::kFailed;
}

void clearUnopenableName(const std::string&) {}

ptrdiff_t readText(File& file, char* data, size_t size) {
  for (;;) {
    const ssize_t got = read(fd(file), data, size);
    if (got >= 0 || errno != EINTR)
      return got;
  }
}

bool writeText(File& file, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd(file), data, size);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

void copyDirect(File& from, File& to) {
#ifdef __linux__
  // The kernel copies file to file without passing the bytes through us, and may share
  // extents on file systems that can. Whatever it refuses, the caller's plain loop redoes and
  // names: a failed call has copied nothing and moved neither offset.
  for (;;) {
    const ssize_t copied = copy_file_range(fd(from), nullptr, fd(to), nullptr, 1 << 30, 0);
    if (copied <= 0)
      break;
  }
#else
  static_cast<void>(from);
  static_cast<void>(to);
#endif
}

Ownership copyOwnership(const File& header, const File& copy, const std::string&) {
  struct stat st, made;
  if (fstat(fd(header), &st) != 0 || !copyOwner(fd(copy), st) || fstat(fd(copy), &made) != 0)
    return Ownership::kFailed;
  // Where the file system keeps ACLs, copyAccessAcl names the owner and the group.
  const bool inGroup = made.st_gid == st.st_gid;
  if ((!ownerLeftOut(st, made) && inGroup) || fgetxattr(fd(header), kAccessAcl, nullptr, 0) >= 0 ||
      errno != ENOTSUP)
    return Ownership::kKept;
  // Without, the owner gets the group bits if in the copy's group, the other bits if not.
  const mode_t owner = ownerBits(st);
  if (ownerLeftOut(st, made) &&
      ((owner & ~groupBits(st)) != 0 || (!inGroup && (owner & ~st.st_mode) != 0)))
    return Ownership::kOwnerLeftOut;
  // The header's group would get the other bits, and the copy's group the group bits: only
  // when they are alike does no one's access change.
  return inGroup || groupBits(st) == (st.st_mode & 7) ? Ownership::kKept : Ownership::kGroupLeftOut;
}

bool finishCopy(File& copy, const File& original) {
  struct stat st;
  return fstat(fd(original), &st) == 0 && fchmod(fd(copy), st.st_mode & 07777) == 0 &&
         copyAccessAcl(fd(original), fd(copy)) && fsync(fd(copy)) == 0;
}

bool holdFile(const File& file, File& held) {
  held.handle = fcntl(fd(file), F_DUPFD_CLOEXEC, 0);
  return held.handle >= 0;
}

bool closeFile(File& file) {
  // After a failed close the descriptor is gone all the same, so it is never retried.
  const bool closed = close(fd(file)) == 0;
  file.handle = -1;
  return closed;
}

// A file with one name found under another spelling is that name itself, on a file system
// that ignores case; with more names, it is a hard link, as good a name as any.
bool isOwnName(const std::string& path, const File& file) {
  struct stat opened, named;
  return fstat(fd(file), &opened) == 0 && lookUp(nameOf(path), named) && named.st_nlink == 1 &&
         sameFile(opened, named);
}

// The flock is kept while a Windows run holds its lock, so that later Linux runs wait behind
// this one.
LockTry tryRunLock(File& file) {
  if (flock(fd(file), LOCK_EX | LOCK_NB) == 0 && windowsLockTaken(fd(file)))
    return LockTry::kTaken;
  return errno == EWOULDBLOCK || errno == EINTR ? LockTry::kBusy : LockTry::kFailed;
}

bool namesOpenFile(const std::string& path, const File& file) {
  return stillNamed(fd(file), nameOf(path));
}

bool removeFile(const std::string& path) {
  const Name name = nameOf(path);
  if (name.directory == nullptr)
    return name.directoryMissing;
  return unlinkat(name.directory->fd, name.leaf.c_str(), 0) == 0 || errno == ENOENT;
}

bool linkOld(File& header, const std::string& to, const std::string& old) {
  if (!linkBackup(to, old))
    return false;
  if (stampHeader(header))
    return true;
  removeFile(old);
  return false;
}

bool renamesOverOpenFiles() {
  return true;
}

// A write (even one whose write time was set back), a permission, an owner, a name added or
// taken away all move the change time, which no program can set. Where the system keeps that
// time to a clock tick only, the size still shows what grew or shrank within one.
bool unchangedSinceLocked(const File& header) {
  struct stat st;
  return fstat(fd(header), &st) == 0 && changeTimeOf(st) == header.openedChangeTime &&
         st.st_size == header.openedSize;
}

bool namesHeaderAsLocked(const std::string& path, const File& header) {
  struct stat opened, named;
  return fstat(fd(header), &opened) == 0 && lookUp(nameOf(path), named) &&
         sameFile(opened, named) && named.st_size == header.openedSize;
}

// A link and an unlink: no rename here may replace what it finds.
Moved moveFile(const std::string& from, const std::string& to) {
  const Name source = nameOf(from);
  const Name target = nameOf(to);
  if (source.directory == nullptr || target.directory == nullptr)
    return Moved::kFailed;
  if (linkat(source.directory->fd, source.leaf.c_str(), target.directory->fd, target.leaf.c_str(),
             0) != 0)
    return errno == EEXIST ? Moved::kNameTaken : Moved::kFailed;
  return unlinkat(source.directory->fd, source.leaf.c_str(), 0) == 0 ? Moved::kDone
                                                                     : Moved::kFailed;
}

bool nameCanBeTaken(const std::string& path) {
  const Name name = nameOf(path);
  struct stat st;
  if (name.directory == nullptr)
    return name.directoryMissing;
  if (fstatat(name.directory->fd, name.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  return !S_ISDIR(st.st_mode);
}

// EBUSY: the system itself uses the file under the name.
Moved replaceFile(const std::string& from, const std::string& to) {
  const Name source = nameOf(from);
  const Name target = nameOf(to);
  if (source.directory == nullptr || target.directory == nullptr)
    return Moved::kFailed;
  if (renameat(source.directory->fd, source.leaf.c_str(), target.directory->fd,
               target.leaf.c_str()) == 0)
    return Moved::kDone;
  return errno == EBUSY ? Moved::kNameBusy : Moved::kFailed;
}

bool syncDirectories(const std::string& a, const std::string& b) {
  const Name header = nameOf(a);
  const Directory* first = header.directory;
  const Directory* second = nameOf(b).directory;
  return first != nullptr && second != nullptr && syncDirectory(*first, header) &&
         (second == first || syncDirectory(*second, header));
}

}  // namespace tallier

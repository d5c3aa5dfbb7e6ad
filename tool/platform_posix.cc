#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform.h"

namespace tallier {

namespace {

constexpr size_t kCopyBufferSize = 128 * 1024;

// Linux allows 40 links in one path; a longer chain is a loop.
constexpr int kMaxLinkHops = 40;

int fd(const File& file) {
  return static_cast<int>(file.handle);
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool syncDirectory(const std::string& dir) {
  const int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0)
    return false;
  // Some file systems cannot sync a directory and say so with EINVAL; their renames are
  // as durable as they get.
  const bool synced = fsync(d) == 0 || errno == EINVAL;
  return close(d) == 0 && synced;
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

bool lockExclusive(int d) {
  int locked;
  do {
    locked = flock(d, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  return locked == 0;
}

// Whether `path` still names the open file `d`, looked up with `lookUp` (stat or lstat).
bool stillNamed(int d, const std::string& path, int (*lookUp)(const char*, struct stat*)) {
  struct stat opened, named;
  return fstat(d, &opened) == 0 && lookUp(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Creates `path` anew and locks it. Runs on headers that share a companion's name (Version.h
// and Version.hpp) take the name in turns: a file found there is locked first, so that one
// still in use by a live run is waited for, and removed once its run has ended or died; a
// link found there is removed, never followed.
int takeFreshFile(const std::string& path) {
  for (;;) {
    const int created = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (created >= 0) {
      if (!lockExclusive(created)) {
        close(created);
        removeFile(path);
        return -1;
      }
      // Another run may have locked it first, taken it for a leftover and removed it.
      if (stillNamed(created, path, lstat))
        return created;
      close(created);
      continue;
    }
    if (errno != EEXIST)
      return -1;
    const int found = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (found < 0) {
      if (errno != ENOENT && !removeFile(path))
        return -1;
      continue;
    }
    if (!lockExclusive(found)) {
      close(found);
      return -1;
    }
    const bool removed = !stillNamed(found, path, lstat) || removeFile(path);
    close(found);
    if (!removed)
      return -1;
  }
}

// Makes `backup` hold the header's current bytes without moving the header away.
bool linkBackup(const std::string& header, const std::string& backup) {
  if (link(header.c_str(), backup.c_str()) == 0)
    return true;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK && errno != EXDEV && errno != ENOSYS)
    return false;
  // The file system has no hard links: a synced copy stands in.
  File in, out;
  in.handle = open(header.c_str(), O_RDONLY | O_CLOEXEC);
  if (in.handle < 0)
    return false;
  bool made = createCopy(backup, in, out);
  if (made) {
    made = copyRest(in, out) == CopyError::kNone && syncFile(out);
    made = closeFile(out) && made;
  }
  closeFile(in);
  if (!made)
    removeFile(backup);
  return made;
}

}  // namespace

std::vector<std::string> programArguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

bool writeOutput(const std::string& text) {
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written;
}

std::string resolveLinks(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
      return current;
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    const ssize_t length = readlink(current.c_str(), &target[0], target.size());
    if (length < 0 || static_cast<size_t>(length) >= target.size())
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

bool openLockedHeader(const std::string& path, File& header) {
  for (;;) {
    const int d = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (d < 0)
      return false;
    const bool locked = lockExclusive(d);
    // The run before us may have replaced the header while we waited: the lock we hold is
    // then on its old file, and the current one must be opened and locked again.
    if (locked && stillNamed(d, path, stat)) {
      header.handle = d;
      return true;
    }
    close(d);
    if (!locked)
      return false;
  }
}

bool createCopy(const std::string& path, const File& header, File& copy) {
  struct stat st;
  if (fstat(fd(header), &st) != 0)
    return false;
  const int d = takeFreshFile(path);
  if (d < 0)
    return false;
  // The copy's descriptor is closed before the rename; a second one holds the name's lock
  // until the process ends, past the rename.
  if (!copyOwner(d, st) || fchmod(d, st.st_mode & 07777) != 0 || fcntl(d, F_DUPFD_CLOEXEC, 0) < 0) {
    close(d);
    return false;
  }
  copy.handle = d;
  return true;
}

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

CopyError copyRest(File& from, File& to) {
#ifdef __linux__
  // The kernel copies file to file without passing the bytes through us, and may share
  // extents on file systems that can. Whatever it refuses, the plain loop below redoes and
  // names: a failed call has copied nothing and moved neither offset.
  for (;;) {
    const ssize_t copied = copy_file_range(fd(from), nullptr, fd(to), nullptr, 1 << 30, 0);
    if (copied <= 0)
      break;
  }
#endif
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
  return fsync(fd(file)) == 0;
}

bool closeFile(File& file) {
  // After a failed close the descriptor is gone all the same, so it is never retried.
  const bool closed = close(fd(file)) == 0;
  file.handle = -1;
  return closed;
}

bool namesOpenFile(const std::string& path, const File& file) {
  return stillNamed(fd(file), path, stat);
}

bool removeFile(const std::string& path) {
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

Replaced replaceKeepingOld(const std::string& from, const std::string& to, const std::string& old) {
  if (!linkBackup(to, old))
    return Replaced::kOldNotKept;
  if (!replaceFile(from, to)) {
    removeFile(old);
    return Replaced::kNot;
  }
  return Replaced::kKeepingOld;
}

bool restoreOld(const std::string& old, const std::string& to, const std::string&) {
  return replaceFile(old, to);
}

bool nameCanBeTaken(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return errno == ENOENT;
  return !S_ISDIR(st.st_mode);
}

bool replaceFile(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool syncDirectories(const std::string& a, const std::string& b) {
  const std::string first = directoryOf(a);
  const std::string second = directoryOf(b);
  return syncDirectory(first) && (second == first || syncDirectory(second));
}

}  // namespace tallier

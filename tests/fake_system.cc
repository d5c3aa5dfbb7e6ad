#include "fake_system.h"

#include <utility>

namespace tallier {

FakeSystem fake;

bool FakeSystem::ok(const char* call) {
  const bool fails_ =
      (++calls >= failFrom && calls < failFrom + fails) || (again && calls == failFrom + fails + 1);
  if (fails_ && !failures++)
    failed = call;
  return !fails_;
}

File FakeSystem::add(const std::string& name, std::string text, char kind, int busyTries,
                     std::function<void()> onRelease) {
  File file;
  file.handle = static_cast<intptr_t>(files.size()) + 1;
  files[file.handle] = {std::move(text), kind, busyTries, std::move(onRelease)};
  names[name] = file.handle;
  return file;
}

namespace {

using Path = const std::string&;

FakeFile& at(Path path) {
  return fake.files[fake.names[path]];
}

// A name found taken is told as such, whatever else went wrong.
Moved move(Path from, Path to, bool replacing) {
  if (replacing && fake.has(to) && fake.clockMs < at(to).heldUntilMs)
    return Moved::kNameBusy;
  const bool moved = fake.ok("move");
  if (!replacing && fake.has(from) && fake.has(to))
    return Moved::kNameTaken;
  if (!moved || !fake.has(from))
    return Moved::kFailed;
  fake.names[to] = fake.names[from], fake.names.erase(from), fake.synced = false;
  ++at(to).changes;
  if (fake.afterMove)
    fake.afterMove(from, to);
  return Moved::kDone;
}

}  // namespace

HeaderOpen openHeader(Path path, File& header) {
  if (!fake.has(path)) {
    if (fake.whenMissing)
      std::exchange(fake.whenMissing, nullptr)();
    return HeaderOpen::kAbsent;
  }
  header.handle = fake.names[path];
  return fake.files[header.handle].kind == 'f' ? HeaderOpen::kOpened : HeaderOpen::kNotRegular;
}
NameHolds whatNameHolds(Path path, const File& header) {
  if (fake.has(path) && fake.names[path] == header.handle)
    return NameHolds::kHeadersName;
  const char kind = fake.has(path) ? at(path).kind : '-';
  return kind == 'f'   ? NameHolds::kFile
         : kind == 'l' ? NameHolds::kLink
         : kind == 'd' ? NameHolds::kOther
                       : NameHolds::kNothing;
}
LockTry tryRunLock(File& file) {
  FakeFile& held = fake.files[file.handle];
  if (held.busyTries == 0)
    return LockTry::kTaken;
  if (held.busyTries > 0 && --held.busyTries == 0 && held.onRelease)
    held.onRelease();
  return LockTry::kBusy;
}
// clang-format off
bool stampHeader(File& h) {
  const FakeFile& file = fake.files[h.handle];
  return h.openedSize = static_cast<int64_t>(file.text.size()), h.openedChangeTime = file.changes, true;
}
Found openToLock(Path path, File& file) { return fake.has(path) ? (file.handle = fake.names[path], Found::kOpened) : Found::kGone; }
std::string headerName(Path path, const File&) { return path; }
bool closeFile(File& file) { return file.handle = -1, true; }
int64_t monotonicMs() { return fake.clockMs; }
void sleepMs(int ms) { fake.clockMs += ms; }
bool isOwnName(Path, const File&) { return false; }
bool removeFile(Path path) { return fake.ok("remove") && (fake.has(path) && ++at(path).changes, fake.names.erase(path), true); }
bool linkOld(File& h, Path to, Path old) { return fake.stepsAside || (fake.ok("link") && !fake.has(old) && (fake.names[old] = fake.names[to], ++at(to).changes, stampHeader(h))); }
bool nameCanBeTaken(Path) { return fake.ok("free"); }
bool renamesOverOpenFiles() { return !fake.stepsAside; }
bool unchangedSinceLocked(const File& h) { return fake.ok("unchanged") && fake.files[h.handle].changes == h.openedChangeTime; }
bool namesHeaderAsLocked(Path path, const File& h) { return fake.ok("unchanged") && fake.has(path) && fake.names[path] == h.handle; }
bool namesOpenFile(Path path, const File& file) { return fake.ok("names") && fake.has(path) && fake.names[path] == file.handle; }
Moved moveFile(Path from, Path to) { return move(from, to, false); }
Moved replaceFile(Path from, Path to) { return move(from, to, true); }
bool syncDirectories(Path, Path) { return fake.synced = fake.ok("sync"); }
// clang-format on

}  // namespace tallier

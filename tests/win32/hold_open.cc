// Stands in for other programs on the test's files. Each way prints "held" once in place and,
// unless said otherwise, holds on until its standard input ends.
//   FILE: holds it open without FILE_SHARE_DELETE, as editors, indexers and virus scanners do.
//   --pause FILE COPY: holds the run lock on a leftover COPY, and once a run waits there,
//     past its lock on FILE, prints "paused": the run waits until this ends.
//   --short FILE: prints FILE's short (8.3) name; ends at once.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE openExisting(const char* name, DWORD access, DWORD sharing = kShareAll) {
  return CreateFileA(name, access, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The lock that runs take, one byte far past the end of the header; with `letGo`, taken only
// if free at once and let go again.
bool lockRun(HANDLE file, bool letGo = false) {
  OVERLAPPED at = {};
  at.OffsetHigh = 0x40000000;
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (letGo ? LOCKFILE_FAIL_IMMEDIATELY : 0);
  return LockFileEx(file, flags, 0, 1, 0, &at) && (!letGo || UnlockFileEx(file, 0, 1, 0, &at));
}

int say(const char* word, bool holdOn) {
  char input;
  DWORD got = 0;
  if (std::puts(word) < 0 || std::fflush(stdout) != 0)
    return 1;
  while (holdOn && ReadFile(GetStdHandle(STD_INPUT_HANDLE), &input, 1, &got, nullptr) && got == 1) {
  }
  return 0;
}

// A run takes its header's lock, reads how the header is, then waits for the copy's name held
// here. Trying the header's lock, let go at once, only makes a run try again; a moment after
// it is found taken, the run has read how the header is.
int pauseRun(const char* header, const char* copy) {
  const HANDLE locked = openExisting(header, GENERIC_READ);
  if (!lockRun(openExisting(copy, GENERIC_WRITE)) || say("held", false) != 0)
    return 1;
  for (int look = 0; look < 60000 && lockRun(locked, true); ++look)
    Sleep(1);
  Sleep(500);
  return say("paused", true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--short") == 0) {
    char name[MAX_PATH];
    const DWORD length = GetShortPathNameA(argv[2], name, MAX_PATH);
    return length > 0 && length < MAX_PATH && std::puts(name) >= 0 ? 0 : 1;
  }
  if (argc == 4 && std::strcmp(argv[1], "--pause") == 0)
    return pauseRun(argv[2], argv[3]);
  if (argc != 2)
    return 2;
  const HANDLE file = openExisting(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  return file == INVALID_HANDLE_VALUE || say("held", true) != 0;
}

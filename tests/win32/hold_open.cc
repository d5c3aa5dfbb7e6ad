// Stands in for other programs on the test's files. With a file: holds it open without
// FILE_SHARE_DELETE, as editors, indexers and virus scanners do. With a file and an aside
// name: a run caught between its two moves: takes the run lock on the header, moves it aside,
// and puts it back at the end unless "gone" follows (a run that died there). Either way
// prints "held" once it is in place, and ends when its standard input does.
// With --short and a file: prints the file's short (8.3) name.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--short") == 0) {
    char name[MAX_PATH];
    const DWORD length = GetShortPathNameA(argv[2], name, MAX_PATH);
    return length > 0 && length < MAX_PATH && std::puts(name) >= 0 ? 0 : 1;
  }
  if (argc < 2 || argc > 4)
    return 2;
  const bool aside = argc >= 3;
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (aside ? FILE_SHARE_DELETE : 0);
  const HANDLE file = CreateFileA(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return 1;
  // The lock that runs take, one byte far past the end of the header.
  OVERLAPPED at = {};
  at.OffsetHigh = 0x40000000;
  if (aside && (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) ||
                !MoveFileExA(argv[1], argv[2], 0)))
    return 1;
  std::puts("held");
  std::fflush(stdout);
  char input;
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &input, 1, &got, nullptr) && got == 1) {
  }
  if (argc == 3 && !MoveFileExA(argv[2], argv[1], 0))
    return 1;
  CloseHandle(file);
  return 0;
}

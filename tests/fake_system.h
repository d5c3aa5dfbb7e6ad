// A file system in memory standing in for the system's file operations (platform.h) in the
// unit tests of the units above them: files with a text, a kind and a lock, the names that
// lead to them, a clock that moves only while a run waits, and calls that fail on demand.
#ifndef TALLIER_TESTS_FAKE_SYSTEM_H_
#define TALLIER_TESTS_FAKE_SYSTEM_H_

#include <functional>
#include <map>
#include <string>

#include "platform.h"

namespace tallier {

struct FakeFile {
  std::string text;
  char kind = 'f';  // f a regular file, l a link, d a directory
  // Tries that find its lock busy, -1 for ever.
  int busyTries = 0;
  // What the run that holds its lock does just before it lets go.
  std::function<void()> onRelease;
  // Until when a program holds it open in a way that stops its replacement (as on Windows).
  int64_t heldUntilMs = 0;
  // Changes to it or its names, as its change time counts them.
  int64_t changes = 0;
};

struct FakeSystem {
  std::map<intptr_t, FakeFile> files;
  std::map<std::string, intptr_t> names;
  int64_t clockMs = 0;
  // Calls, counted from 1, fail from `failFrom` on for `fails` calls, and with `again` the call
  // after the next too; `failed` names the first that failed.
  int calls = 0, failFrom = 0, fails = 0, failures = 0;
  std::string failed;
  // The header steps aside to be replaced (as on Windows). Whether the directory was synced
  // after the last move.
  bool again = false, stepsAside = false, synced = false;
  // What another program does when the header is found missing, and after a file moved.
  std::function<void()> whenMissing;
  std::function<void(const std::string& from, const std::string& to)> afterMove;

  bool has(const std::string& name) { return names.count(name) != 0; }
  bool ok(const char* call);
  File add(const std::string& name, std::string text, char kind = 'f', int busyTries = 0,
           std::function<void()> onRelease = nullptr);
  // The text under `name`, or "-" where there is none.
  std::string textAt(const std::string& name) { return has(name) ? files[names[name]].text : "-"; }
};

extern FakeSystem fake;

}  // namespace tallier

#endif  // TALLIER_TESTS_FAKE_SYSTEM_H_

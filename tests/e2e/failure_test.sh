# Failures while reading, writing and replacing: the right message and status, and the
# header never changed or lost.
. "$(dirname "$0")/lib.sh"

# Runs the tool with writes limited to the given number of KiB, as a full disk would stop it.
run_with_file_limit() {
  local kib=$1
  shift
  WRAP=(bash -c 'trap "" XFSZ; ulimit -f "$0"; exec "$@"' "$kib")
  run "$@"
  WRAP=()
}

# Runs the tool with the given system calls failing with EIO. (LeakSanitizer cannot run
# under ptrace, so a sanitizer build skips only its leak check here.)
run_with_failing() {
  local calls=$1
  shift
  WRAP=(env ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e trace="$calls" -e inject="$calls":error=EIO)
  run "$@"
  WRAP=()
}

# A header of about `kib` KiB with the counter on its first line.
make_header() {
  { printf '#define BuildCount 41\n'; head -c "$(($1 * 1024))" /dev/zero | tr '\0' 'x'; } >Version.h
  cp Version.h before
}

expect_header_untouched() {
  cmp -s Version.h before || fail "header changed"
  [ -e Version.bak ] && fail "backup made"
}

copy_that_cannot_be_created() {
  make_header 1
  mkdir Version.new
  run
  expect 1 "Error Tallier Can't open: Version.new for writing"
  expect_header_untouched
}

header_that_cannot_be_read() {
  mkdir Version.h
  run
  # POSIX opens a directory and fails to read it; Windows does not open it as a file at all.
  if $WINDOWS; then
    expect 1 "$(printf '%s\n' 'Tallier [file = Version.h] ; [varname = BuildCount] ; [inc.= +1]' \
      'Tallier reads filename & in-decrements the value after varname.' '' \
      "Error Tallier Can't open: Version.h for reading")"
  else
    expect 1 "Error Tallier Error reading: Version.h"
  fi
}

write_fails_during_the_pass() {
  make_header 100
  run_with_file_limit 8
  expect 1 "Error Tallier Error writing: Version.new"
  expect_header_untouched
}

write_fails_at_the_last_bytes() {
  make_header 200
  run_with_file_limit 200
  expect 1 "Error Tallier Error writing: Version.new"
  expect_header_untouched
}

sync_of_the_copy_fails() {
  make_header 1
  run_with_failing fsync
  expect 1 "Error Tallier Error writing: Version.new"
  expect_header_untouched
}

rename_fails() {
  # Wine renames in its server process, out of strace's reach: windows_test.sh holds the
  # header open instead.
  $WINDOWS && return
  make_header 1
  printf 'previous backup\n' >Version.bak
  run_with_failing rename,renameat,renameat2
  expect 1 "Error Tallier Can't rename: Version.new to Version.h"
  cmp -s Version.h before || fail "header changed"
  expect_content Version.bak 'previous backup\n'
  expect_files Version.bak Version.h Version.new before
  head -1 Version.new | tr -d '\r' | grep -qx '#define BuildCount 42' || fail "copy lacks the new text"
}

leftover_copy_link_is_not_written_through() {
  # A symbolic link made here is a Unix one, which Windows never sees (Wine shows it as the
  # file it leads to); Windows deletes a link of its own, never the file behind it.
  $WINDOWS && return
  printf '#define BuildCount 1\n' >Version.h
  printf 'keep me\n' >elsewhere
  ln -s elsewhere Version.new
  run
  expect 0 "Upcount: BuildCount = 2"
  expect_content elsewhere 'keep me\n'
  expect_files Version.bak Version.h elsewhere
}

run_cases copy_that_cannot_be_created header_that_cannot_be_read write_fails_during_the_pass \
  write_fails_at_the_last_bytes sync_of_the_copy_fails rename_fails \
  leftover_copy_link_is_not_written_through
finish

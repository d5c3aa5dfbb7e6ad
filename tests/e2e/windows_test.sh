# What only Windows has: names that differ only in case or a trailing space, long paths,
# drive-relative paths, read-only headers, and headers held open without delete sharing by
# the helper that HOLD_OPEN names.
. "$(dirname "$0")/lib.sh"

# A header at 41 in the named file.
header() { printf '#define BuildCount 41\n' >"$1"; }

# The last run advanced $1/Version.h from 41 to 42 and left only it and its backup there.
expect_advanced() {
  expect 0 "Upcount: BuildCount = 42"
  expect_written "$1/Version.h" '#define BuildCount 42\n'
  expect_content "$1/Version.bak" '#define BuildCount 41\n'
  check "files in $1" "$(ls -A "$1" | paste -sd ' ')" "Version.bak Version.h"
}

# Headers, copies and backups at 300 and 1,000 characters, advanced twice.
long_paths() {
  local length dir
  for length in 300 1000; do
    dir=$(printf "%0$((length - 11))d" 0 | sed 's/.\{100\}/&\//g')
    mkdir -p "$dir" && header "$dir/Version.h"
    run "$dir/Version.h"
    expect_advanced "$dir" || echo "  at $length characters"
    run "$dir/Version.h"
    expect_written "$dir/Version.bak" '#define BuildCount 42\n'
    rm -r 0*
  done
}

# A companion's name that reaches the header itself: no backup, or the refusal of *.new.
# header typed | file on disk | status and message | file after | counter after
companions_that_are_the_header() {
  local typed file message after value
  while IFS='|' read -r typed file message after value; do
    rm -f ./*
    printf '#define BuildCount 41\r\n' >"$file"
    run "$typed"
    expect "${message%% *}" "${message#* }" || echo "  with $typed"
    expect_files "$after"
    expect_written "$after" "#define BuildCount $value\n"
  done <<'EOF'
version.BAK|Version.BAK|0 Upcount: BuildCount = 42|Version.BAK|42
Version.bak |Version.bak|0 Upcount: BuildCount = 42|Version.bak|42
Version.NEW|Version.new|1 Error Tallier Can't use: Version.NEW as header, its copy would take its name|Version.new|41
Version.new |Version.new|1 Error Tallier Can't use: Version.new  as header, its copy would take its name|Version.new|41
EOF
}

# Starts the helper with the given arguments and waits until it holds its file; it lets go
# when this shell's descriptor 3 closes.
hold() {
  rm -f "$SCRATCH_ROOT/release" && mkfifo "$SCRATCH_ROOT/release"
  ${EMULATOR[@]+"${EMULATOR[@]}"} "$HOLD_OPEN" "$@" <"$SCRATCH_ROOT/release" >"$SCRATCH_ROOT/held" &
  exec 3>"$SCRATCH_ROOT/release"
  while ! grep -q held "$SCRATCH_ROOT/held" && kill -0 $! 2>/dev/null; do sleep 0.1; done
}

# Held open without delete sharing, the header cannot be replaced, nor the backup: the run
# fails before the header changes and leaves it and the previous backup as they were; once
# let go, it is advanced.
held_header_or_backup() {
  local held message
  while IFS='|' read -r held message; do
    rm -rf ./* && header Version.h && printf 'previous backup\n' >Version.bak
    hold "$held"
    run
    exec 3>&-
    wait
    expect 1 "$message" || echo "  with $held"
    expect_content Version.h '#define BuildCount 41\n'
    expect_content Version.bak 'previous backup\n'
    check "files with $held held" "$(ls -A | paste -sd ' ')" "Version.bak Version.h Version.new"
    run
    expect_advanced .
  done <<'EOF'
Version.h|Error Tallier Can't rename: Version.new to Version.h
Version.bak|Error Tallier Can't rename: Version.h to Version.bak
EOF
}

# Any spelling of the header reaches the file itself: it is advanced under its own name, with
# companions named after that name and beside it, and links stay links (marked @).
# setup, which sets the header as typed | the files after | the file advanced
spellings_reach_the_file() {
  # A path with no dot before the file name, where the companions would take their names.
  local setup files advanced typed long nodot=/tmp/tallier$$
  long=$(printf 'v%.0s' $(seq 250))
  while IFS='|' read -r setup files advanced; do
    rm -rf ./* && eval "$setup"
    run "$typed"
    expect 0 "Upcount: BuildCount = 42" || echo "  with $setup"
    check "files with $setup" "$(find . -mindepth 1 \( -type l -printf '%P@\n' -o -printf '%P\n' \) |
      sort | paste -sd ' ')" "$(eval echo "$files")"
    expect_written "$(eval echo "$advanced")" '#define BuildCount 42\n'
  done <<'EOF'
header LongVersionHeader.h; typed=$(${EMULATOR[@]+"${EMULATOR[@]}"} "$HOLD_OPEN" --short LongVersionHeader.h) typed=${typed%$'\r'}|LongVersionHeader.bak LongVersionHeader.h|LongVersionHeader.h
header Version.h; typed=VERSION.H|Version.bak Version.h|Version.h
header Version.h; typed=version.h.|Version.bak Version.h|Version.h
header Version.h; typed='Version.h. .'|Version.bak Version.h|Version.h
mkdir real && header real/Version.h && ln -s real/Version.h Version.h; typed=Version.h|Version.h@ real real/Version.bak real/Version.h|real/Version.h
mkdir dir && header dir/Version && ln -sfn "$PWD" "$nodot"; typed="\\\\.\\Z:${nodot//\//\\}\\dir\\Version"|dir dir/Version dir/Versionbak|dir/Version
header $long.h; typed=$long.h|$long.bak $long.h|$long.h
EOF
  rm -f "$nodot"
}

# A run that finds the header moved aside by another, which holds its lock there (a slow run
# between its two moves), waits for it, and leaves it to that run to put it back; when that
# run ends without putting it back (it died there), the header takes its own name back, not
# the one typed. Either way the run then advances it.
header_moved_aside_by_another_run() {
  local how holder
  for how in back gone; do
    rm -rf ./* && header Version.h
    hold Version.h Version~h ${how/back/} && holder=$!
    (sleep 1 && exec 3>&-) &
    exec 3>&-
    run VERSION.H
    wait $holder || fail "the other run could not put the header back"
    expect_advanced . || echo "  when the other run puts it $how"
  done
}

# A read-only header is advanced; the new header and the backup stay read-only, and the next
# run replaces that read-only backup.
read_only_header() {
  header Version.h
  chmod a-w Version.h
  run
  expect_advanced .
  check "writable" "$(find . -perm -u+w -type f)" ""
  run
  expect_written Version.bak '#define BuildCount 42\n'
}

# D:Version.h names the header in the current directory of drive D:, here a drive that Wine
# maps to a directory on another file system where there is one (/dev/shm), so that no name
# made on the current drive could be renamed there.
drive_relative_path() {
  local letter drive
  for letter in m n o p q r s t u v w x y; do
    [ -e "${WINEPREFIX:=$HOME/.wine}/dosdevices/$letter:" ] || break
  done
  drive=$(mktemp -d "$([ -w /dev/shm ] && echo /dev/shm || echo "$SCRATCH_ROOT")/drive.XXXXXX")
  ln -s "$drive" "$WINEPREFIX/dosdevices/$letter:"
  header "$drive/Version.h" && mkdir "$drive/Version.new"
  run "$letter:Version.h"
  expect 1 "Error Tallier Can't open: $letter:Version.new for writing"
  rmdir "$drive/Version.new"
  run "$letter:Version.h"
  expect_advanced "$drive"
  expect_files
  rm -r "$WINEPREFIX/dosdevices/$letter:" "$drive"
}

# The copy is flushed before it takes the header's name, and the moves that give the header
# and the backup their names wait for the disk: no file shows it, Wine's relay trace does.
renames_wait_for_the_disk() {
  local emulator=("${EMULATOR[@]}") relay=WINEDEBUG=-all,+relay
  header Version.h && printf 'previous backup\n' >Version.bak
  EMULATOR=(env $relay "${emulator[@]/#WINEDEBUG=*/$relay}") && run && EMULATOR=("${emulator[@]}")
  check "status under the trace" "$RC" 0
  check "flushes, then moves:flags into the header and the backup" "$(sed -nE \
    's/.*KERNEL32\.(FlushFileBuffers|MoveFileExW)\((.*)\) ret=.*/\1,\2/p' "$SCRATCH_ROOT/stderr" |
    sed -E 's/^Flush.*/flush/; s/[0-9a-f]+ L"[^"]*\\\\([^"\\]*)"/\1/g; s/^MoveFileExW,([^,]*),([^,]*),0*/\1>\2:/' |
    grep -E '^flush|>Version\.(h|bak):' | uniq | sed '/Version.bak:/q' | paste -sd ' ')" \
    "flush Version.new>Version.h:8 Version~h>Version.bak:9"
}

run_cases long_paths companions_that_are_the_header held_header_or_backup \
  read_only_header drive_relative_path renames_wait_for_the_disk spellings_reach_the_file \
  header_moved_aside_by_another_run
finish

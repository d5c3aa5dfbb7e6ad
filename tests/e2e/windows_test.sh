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
    rm -rf ./* && mkdir -p "$dir" && header "$dir/Version.h"
    run "$dir/Version.h"
    expect_advanced "$dir" || echo "  at $length characters"
    run "$dir/Version.h"
    expect_written "$dir/Version.bak" '#define BuildCount 42\n' || echo "  second run at $length characters: $RC $OUT"
  done
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
# let go, it is advanced. A header that another program changes while the helper pauses the
# run (in place, with its write time put back or not; saved anew under its name; made
# read-only, hidden or less readable) keeps the change: the run fails, the backup as it was.
# the file held, or the change made during the run | the message | the header after
held_or_changed_header() {
  local held message after
  while IFS='|' read -r held message after; do
    rm -f ./* && header Version.h && printf 'previous backup\n' >Version.bak
    if [[ $held == Version* ]]; then hold $held; else
      printf left >Version.new && hold --pause Version.h Version.new
      (until grep -q paused "$SCRATCH_ROOT/held"; do sleep 0.1; done; eval "$held") & exec 3>&-
    fi
    run
    exec 3>&- && wait
    expect 1 "$message" || echo "  with $held"
    expect_content Version.h "$after"
    expect_content Version.bak 'previous backup\n'
    [[ $held == Version* ]] || continue
    check "files with $held held" "$(ls -A | paste -sd ' ')" "Version.bak Version.h Version.new"
    run
    expect_advanced .
  done <<'EOF'
Version.h|Error Tallier Can't rename: Version.new to Version.h|#define BuildCount 41\n
Version.bak|Error Tallier Can't rename: Version.h to Version.bak|#define BuildCount 41\n
touch -r Version.h ref && printf '// edited\n' >>Version.h && touch -r ref Version.h|Error Tallier Changed during the run: Version.h|#define BuildCount 41\n// edited\n
touch -r Version.h ref && printf '#define BuildCount 47\n' 1<>Version.h && touch -r ref Version.h|Error Tallier Changed during the run: Version.h|#define BuildCount 47\n
mv Version.h ref && printf '#define BuildCount 77\n' >Version.h && touch -r ref Version.h|Error Tallier Changed during the run: Version.h|#define BuildCount 77\n
chmod 600 Version.h|Error Tallier Changed during the run: Version.h|#define BuildCount 41\n
chmod a-w Version.h|Error Tallier Changed during the run: Version.h|#define BuildCount 41\n
"${EMULATOR[@]}" attrib +h Version.h|Error Tallier Changed during the run: Version.h|#define BuildCount 41\n
EOF
}

# A lock on the header that another program holds, as Wine keeps a Windows program's (a record
# lock on one byte far past the end), is given up on after a while, with nothing changed.
lock_held_by_another_program() {
  header Version.h
  python3 -c 'import fcntl, os, sys, time
f = os.open("Version.h", os.O_RDWR); fcntl.lockf(f, fcntl.LOCK_EX, 1, 1 << 62); open(sys.argv[1], "w"); time.sleep(60)' "$SCRATCH_ROOT/locked" &
  until [ -e "$SCRATCH_ROOT/locked" ]; do sleep .01; done
  run; kill $! 2>/dev/null; rm "$SCRATCH_ROOT/locked"
  expect 1 "Error Tallier Can't lock: Version.h, another program holds its lock"
  expect_files Version.h
}

# A link under a companion's name, symbolic or hard, to the header or to a read-only file
# elsewhere, is a name of its own, never followed: the file it leads to is left as it was.
# Wine renames nothing over a symbolic link to a file that is open, and opens that file for
# the link: such a link to the header stays, and the run fails before the header changes.
# link made beside proj/Version.h | the message of the failure, or 0 for the header advanced |
# the files then in proj
links_under_companion_names() {
  local link message files
  while IFS='|' read -r link message files; do
    rm -rf ./* && mkdir proj && header proj/Version.h && echo keep >keep && chmod a-w keep
    eval "$link"
    run proj/Version.h
    if [ "$message" = 0 ]; then
      expect_advanced proj
    else
      expect 1 "$message" && expect_content proj/Version.h '#define BuildCount 41\n' &&
        check "files" "$(ls -A proj | paste -sd ' ')" "$files"
    fi || echo "  with $link"
    check "the file behind $link" "$(stat -c %a keep) $(cat keep)" "444 keep"
  done <<'EOF'
ln proj/Version.h proj/Version.bak|0
ln proj/Version.h proj/Version.new|0
ln -s ../keep proj/Version.bak|0
ln keep proj/Version.bak|0
ln keep proj/Version.new|0
ln keep proj/Version~h|0
ln -s Version.h proj/Version.bak|Error Tallier Can't rename: proj/Version.h to proj/Version.bak|Version.bak Version.h Version.new
ln -s Version.h proj/Version.new|Error Tallier Can't open: proj/Version.new for writing|Version.h Version.new
EOF
}

# Wine keeps no DACL: it makes one up from the mode bits, without the marks that Windows puts
# on a DACL it keeps, and maps one it is given back to other bits (a 0600 header's to 0775).
# Such a DACL is left to the directory: the new header has a new file's mode, never a wider.
access_rules_made_up_by_wine_are_left() {
  local mode
  for mode in 600 640; do
    rm -f ./* && header Version.h && chmod $mode Version.h
    run
    expect_advanced .
    check "mode of a $mode header after the run" "$(stat -c %a Version.h)" 644
  done
}

# Any spelling of the header reaches the file itself: it is advanced under its own name, with
# companions named after that name and beside it, and links stay links (marked @). A
# companion's name that reaches the header itself: no backup, or the refusal of *.new.
# setup, which sets the header as typed | the files after | the file with the counter |
# status and message, where the run does not advance the header to 42 (it stays at 41)
spellings_reach_the_file() {
  # A path with no dot before the file name, where the companions would take their names.
  local setup files counted message typed long nodot=/tmp/tallier$$
  long=$(printf 'v%.0s' $(seq 250))
  while IFS='|' read -r setup files counted message; do
    rm -rf ./* && eval "$setup" && message=${message:-0 Upcount: BuildCount = 42}
    run "$typed"
    expect "${message%% *}" "${message#* }" || echo "  with $setup"
    check "files with $setup" "$(find . -mindepth 1 \( -type l -printf '%P@\n' -o -printf '%P\n' \) |
      sort | paste -sd ' ')" "$(eval echo "$files")"
    expect_written "$(eval echo "$counted")" "#define BuildCount $((${message%% *} ? 41 : 42))\n"
  done <<'EOF'
header LongVersionHeader.h; typed=$(${EMULATOR[@]+"${EMULATOR[@]}"} "$HOLD_OPEN" --short LongVersionHeader.h) typed=${typed%$'\r'}|LongVersionHeader.bak LongVersionHeader.h|LongVersionHeader.h
header Version.h; typed=VERSION.H|Version.bak Version.h|Version.h
header Version.h; typed=version.h.|Version.bak Version.h|Version.h
header Version.h; typed='Version.h. .'|Version.bak Version.h|Version.h
mkdir real && header real/Version.h && ln -s real/Version.h Version.h; typed=Version.h|Version.h@ real real/Version.bak real/Version.h|real/Version.h
mkdir dir && header dir/Version && ln -sfn "$PWD" "$nodot"; typed="\\\\.\\Z:${nodot//\//\\}\\dir\\Version"|dir dir/Version dir/Versionbak|dir/Version
header $long.h; typed=$long.h|$long.bak $long.h|$long.h
printf '#define BuildCount 41\r\n' >Version.BAK; typed=version.BAK|Version.BAK|Version.BAK
printf '#define BuildCount 41\r\n' >Version.bak; typed='Version.bak '|Version.bak|Version.bak
printf '#define BuildCount 41\r\n' >Version.new; typed=Version.NEW|Version.new|Version.new|1 Error Tallier Can't use: Version.NEW as header, its copy would take its name
printf '#define BuildCount 41\r\n' >Version.new; typed='Version.new '|Version.new|Version.new|1 Error Tallier Can't use: Version.new  as header, its copy would take its name
EOF
  rm -f "$nodot"
}

# A header that a run which died between its two moves left under its scratch name takes its
# own name back, not the one typed, and is advanced (that a live run's is waited for there, the
# unit tests and runs_beside_linux_runs show).
header_left_aside_by_a_dead_run() {
  header Version~h
  run VERSION.H
  expect_advanced .
}

# A read-only, hidden header is advanced; the new header and the backup stay read-only and
# hidden, and the next run replaces that read-only backup.
read_only_header() {
  header Version.h && chmod a-w Version.h && "${EMULATOR[@]}" attrib +h Version.h
  run
  expect_advanced .
  check "writable; attributes" "$(find . -perm -u+w -type f); $("${EMULATOR[@]}" attrib '*' |
    cut -c1-6 | tr -d ' ' | paste -sd ' ')" "; AHR AHR"
  run
  expect_written Version.bak '#define BuildCount 42\n'
}

# D:Version.h names the header in the current directory of drive D:, here a drive that Wine
# maps to a directory on another file system where there is one (/dev/shm), so that no name
# made on the current drive could be renamed there.
drive_relative_path() {
  local letter drive
  for letter in {m..y}; do [ -e "${WINEPREFIX:=$HOME/.wine}/dosdevices/$letter:" ] || break; done
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
  check "status under the trace; flushes, then moves:flags into the header and the backup" "$RC $(sed -nE \
    's/.*KERNEL32\.(FlushFileBuffers|MoveFileExW)\((.*)\) ret=.*/\1,\2/p' "$SCRATCH_ROOT/stderr" |
    sed -E 's/^Flush.*/flush/; s/[0-9a-f]+ L"[^"]*\\\\([^"\\]*)"/\1/g; s/^MoveFileExW,([^,]*),([^,]*),0*/\1>\2:/' |
    grep -E '^flush|>Version\.(h|bak):' | uniq | sed '/Version.bak:/q' | paste -sd ' ')" \
    "0 flush Version.new>Version.h:8 Version~h>Version.bak:9"
}

# Linux runs (LINUX_TALLIER) and Windows runs under Wine on one header at once take turns:
# each round, every run advances it once, each number printed once, and nothing else is left.
# On a header that the Linux runs may only read (run without root's powers where the suite
# runs as root), they cannot stop a Windows run: some fail, but the header is never lost,
# and holds the highest number printed, each printed once.
runs_beside_linux_runs() {
  [ -n "${LINUX_TALLIER:-}" ] || { echo "SKIP: the Linux tallier, TALLIER_LINUX_TALLIER, not given"; return; }
  local round i pids linux=("$LINUX_TALLIER") printed
  for round in 1 2 3 4 5 6; do
    rm -f ./* "$SCRATCH_ROOT"/out.* && printf '#define BuildCount 0\n' >Version.h && pids=()
    if [ $round -gt 3 ]; then
      chmod a-w Version.h
      [ "$(id -u)" -ne 0 ] || linux=(setpriv --bounding-set=-all --inh-caps=-all "$LINUX_TALLIER")
    fi
    for i in 1 2 3 4; do ${EMULATOR[@]+"${EMULATOR[@]}"} "$TALLIER" >"$SCRATCH_ROOT/out.w$i" 2>&1 & pids+=($!); done
    for i in {1..10}; do "${linux[@]}" >"$SCRATCH_ROOT/out.l$i" 2>&1 & pids+=($!) && sleep .02; done
    wait "${pids[@]}"
    if [ $round -le 3 ]; then
      check "round $round: outputs; files; header" "$(cat "$SCRATCH_ROOT"/out.* | tr -d '\r' | sort -t= -k2n |
        paste -sd ' '); $(ls -A | paste -sd ' '); $(tr -d '\r' <Version.h)" "$(printf 'Upcount: BuildCount = %s\n' \
        {1..14} | paste -sd ' '); Version.bak Version.h; #define BuildCount 14"
      continue
    fi
    printed=$(cat "$SCRATCH_ROOT"/out.* | tr -d '\r' | sed -n 's/^Upcount: BuildCount = //p' | sort -n)
    check "read-only round $round: numbers printed once each, the header at the highest" \
      "$(uniq -d <<<"$printed")$(tr -d '\r' <Version.h)" "#define BuildCount $(tail -1 <<<"$printed")"
    check "read-only round $round: what failed" "$(cat "$SCRATCH_ROOT"/out.* | tr -d '\r' |
      grep -v -e '^Upcount: ' -e '^Error Tallier Changed during the run: Version.h$' \
        -e "^Error Tallier Can't rename: Version.new to Version.h$")" ""
  done
}

run_cases long_paths held_or_changed_header \
  read_only_header drive_relative_path renames_wait_for_the_disk spellings_reach_the_file \
  header_left_aside_by_a_dead_run lock_held_by_another_program \
  links_under_companion_names access_rules_made_up_by_wine_are_left \
  runs_beside_linux_runs
finish

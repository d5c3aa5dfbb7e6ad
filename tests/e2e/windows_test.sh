# What only Windows has: names the ANSI code page cannot hold, names that differ only in
# case or a trailing space, long paths, drive-relative paths, read-only headers, headers
# held open without delete sharing, and parallel runs on headers that share companions. Usage: windows_test.sh tallier.exe wine-loader; the
# helper that holds a file open is named by HOLD_OPEN.
. "$(dirname "$0")/lib.sh"
export LANG=C.UTF-8

USAGE=$'Tallier [file = Version.h] ; [varname = BuildCount] ; [inc.= +1]\nTallier reads filename & in-decrements the value after varname.'

# A header at 41 in the named file.
header() {
  printf '#define BuildCount 41\n' >"$1"
}

# A run that advances $1 from 41 to 42 and leaves only it and its backup $2 in its directory.
expect_advanced() {
  expect 0 "Upcount: BuildCount = 42"
  expect_written "$1" '#define BuildCount 42\n'
  expect_content "$2" '#define BuildCount 41\n'
  check "files beside $1" "$(ls -A "$(dirname "$1")" | sort | paste -sd ' ')" \
    "$(printf '%s\n' "$(basename "$1")" "$(basename "$2")" | sort | paste -sd ' ')"
}

# The name reaches the file typed, beside a Version.h that a lossy code page would pick
# instead, and a message names it in the code page's bytes when it can, else in UTF-8.
# directory | header | encoding of the message
names_beyond_the_code_page() {
  local dir file encoding
  while IFS='|' read -r dir file encoding; do
    mkdir -p "$dir"
    printf '#define BuildCount 7\n' >"$dir/Version.h"
    header "$dir/$file"
    run "$dir/$file"
    expect 0 "Upcount: BuildCount = 42" || echo "  with $dir/$file"
    expect_written "$dir/$file" '#define BuildCount 42\n'
    expect_content "$dir/Version.h" '#define BuildCount 7\n'
    run "$dir/missing.h"
    expect 1 "$USAGE"$'\n\n'"$(printf "Error Tallier Can't open: %s/missing.h for reading" "$dir" |
      iconv -f UTF-8 -t "$encoding")"
    rm -r "${dir%%/*}"
  done <<'EOF_ROWS'
latin|Vęrsion.h|UTF-8
café|Version.hpp|CP1252
Версия|Заголовок.h|UTF-8
版本/子目录|版本.h|UTF-8
emoji 🔢|🔢.h|UTF-8
EOF_ROWS
}

# Headers, copies and backups at 300 and 1,000 characters, advanced twice.
long_paths() {
  local length dir
  for length in 300 1000; do
    dir=$(printf "%0$((length - 11))d" 0 | sed 's/.\{100\}/&\//g')
    mkdir -p "$dir"
    header "$dir/Version.h"
    run "$dir/Version.h"
    expect_advanced "$dir/Version.h" "$dir/Version.bak" || echo "  at $length characters"
    run "$dir/Version.h"
    expect 0 "Upcount: BuildCount = 43"
    expect_written "$dir/Version.bak" '#define BuildCount 42\n'
    rm -r 0*
  done
}

# A companion's name that reaches the header itself: no backup, or the refusal of *.new.
# header typed | file on disk | message | files after | header text after
companions_that_are_the_header() {
  local typed file message files text
  while IFS='|' read -r typed file message files text; do
    rm -f ./*
    printf '#define BuildCount 41\r\n' >"$file"
    run "$typed"
    expect "${message%% *}" "${message#* }" || echo "  with $typed"
    expect_files "$files"
    expect_written "$files" "#define BuildCount $text\n"
  done <<'EOF_ROWS'
Version.BAK|Version.bak|0 Upcount: BuildCount = 42|Version.BAK|42
Version.bak |Version.bak|0 Upcount: BuildCount = 42|Version.bak|42
Version.NEW|Version.new|1 Error Tallier Can't use: Version.NEW as header, its copy would take its name|Version.new|41
Version.New|Version.new|1 Error Tallier Can't use: Version.New as header, its copy would take its name|Version.new|41
Version.new |Version.new|1 Error Tallier Can't use: Version.new  as header, its copy would take its name|Version.new|41
EOF_ROWS
}

# Held open without delete sharing, the header cannot be replaced: the run fails and leaves
# the header and the previous backup as they were; once let go, it is advanced.
header_held_open() {
  if [ -z "${HOLD_OPEN:-}" ]; then
    fail "HOLD_OPEN does not name the helper that holds a file open"
    return
  fi
  header Version.h
  printf 'previous backup\n' >Version.bak
  mkfifo "$SCRATCH_ROOT/release"
  ${EMULATOR[@]+"${EMULATOR[@]}"} "$HOLD_OPEN" Version.h <"$SCRATCH_ROOT/release" >"$SCRATCH_ROOT/held" &
  exec 3>"$SCRATCH_ROOT/release"
  while ! grep -q held "$SCRATCH_ROOT/held" && kill -0 $! 2>/dev/null; do sleep 0.1; done
  run
  exec 3>&-
  wait
  expect 1 "Error Tallier Can't rename: Version.new to Version.h"
  expect_content Version.h '#define BuildCount 41\n'
  expect_content Version.bak 'previous backup\n'
  run
  expect_advanced Version.h Version.bak
}

# A read-only header is advanced; the new header and the backup stay read-only, and the
# next run replaces that read-only backup.
read_only_header() {
  header Version.h
  chmod a-w Version.h
  run
  expect_advanced Version.h Version.bak
  check "modes" "$(stat -c %A Version.h Version.bak | tr -d r- | paste -sd ' ')" " "
  run
  expect 0 "Upcount: BuildCount = 43"
  expect_written Version.bak '#define BuildCount 42\n'
}

# D:Version.h names the header in the current directory of drive D:, here a drive that Wine
# maps to a directory on another file system where there is one (/dev/shm), so that no
# name made on the current drive can be renamed there.
drive_relative_path() {
  local letter drive
  if [ -z "${WINEPREFIX:-}" ]; then
    fail "WINEPREFIX is not set: no scratch prefix to map a drive in"
    return
  fi
  for letter in m n o p q r s t u v w x y; do
    [ -e "$WINEPREFIX/dosdevices/$letter:" ] || break
  done
  drive=$(mktemp -d "$([ -w /dev/shm ] && echo /dev/shm || echo "$SCRATCH_ROOT")/drive.XXXXXX")
  ln -s "$drive" "$WINEPREFIX/dosdevices/$letter:"
  header "$drive/Version.h"
  run "$letter:Version.h"
  expect_advanced "$drive/Version.h" "$drive/Version.bak"
  expect_files
  rm "$WINEPREFIX/dosdevices/$letter:"
  rm -r "$drive"
}

# Version.h and Version.hpp share Version.new and Version.bak: run in parallel, each gets its
# own text back, advanced once per run.
headers_sharing_companions() {
  local i
  printf '#define BuildCount 100\n' >Version.h
  printf '// other\n#define BuildCount 500\n' >Version.hpp
  for i in 1 2 3 4 5 6; do
    ${EMULATOR[@]+"${EMULATOR[@]}"} "$TALLIER" Version.h >"$SCRATCH_ROOT/h$i" &
    ${EMULATOR[@]+"${EMULATOR[@]}"} "$TALLIER" Version.hpp >"$SCRATCH_ROOT/p$i" &
  done
  wait
  check "failures" "$(cat "$SCRATCH_ROOT"/[hp][0-9] | grep -v '^Upcount')" ""
  expect_written Version.h '#define BuildCount 106\n'
  expect_written Version.hpp '// other\n#define BuildCount 506\n'
  expect_files Version.bak Version.h Version.hpp
}

run_cases names_beyond_the_code_page long_paths companions_that_are_the_header header_held_open \
  read_only_header drive_relative_path headers_sharing_companions
finish

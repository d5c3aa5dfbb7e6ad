# What only Windows has: names the ANSI code page cannot hold, names that differ only in case
# or a trailing space, long paths, drive-relative paths, read-only headers, and headers held
# open without delete sharing by the helper that HOLD_OPEN names.
. "$(dirname "$0")/lib.sh"

# A header at 41 in each named file.
header() {
  local file
  for file in "$@"; do printf '#define BuildCount 41\n' >"$file"; done
}

# The last run advanced $1 from 41 to 42 and left only it and its backup $2 beside it.
expect_advanced() {
  expect 0 "Upcount: BuildCount = 42"
  expect_written "$1" '#define BuildCount 42\n'
  expect_content "$2" '#define BuildCount 41\n'
  check "files beside $1" "$(ls -A "$(dirname "$1")" | sort | paste -sd ' ')" \
    "$(printf '%s\n' "${1##*/}" "${2##*/}" | sort | paste -sd ' ')"
}

# The name reaches the file typed, not a Version.h beside it that a lossy code page would
# pick, and a message names it in the code page's bytes when it can, else in UTF-8.
# directory | header | encoding of the message
names_beyond_the_code_page() {
  local dir file encoding
  while IFS='|' read -r dir file encoding; do
    mkdir -p "$dir"
    header "$dir/$file"
    printf '#define BuildCount 7\n' >"$dir/Version.h"
    run "$dir/$file"
    expect 0 "Upcount: BuildCount = 42" || echo "  with $dir/$file"
    expect_content "$dir/Version.h" '#define BuildCount 7\n'
    run "$dir/missing.h"
    expect 1 "$USAGE"$'\n\n'"$(printf "Error Tallier Can't open: %s/missing.h for reading" "$dir" |
      iconv -f UTF-8 -t "$encoding")"
    rm -r "${dir%%/*}"
  done <<'EOF'
latin|Vęrsion.h|UTF-8
café|Version.hpp|CP1252
Версия|Заголовок.h|UTF-8
版本/子目录|版本.h|UTF-8
emoji 🔢|🔢.h|UTF-8
EOF
}

# Headers, copies and backups at 300 and 1,000 characters, advanced twice.
long_paths() {
  local length dir
  for length in 300 1000; do
    dir=$(printf "%0$((length - 11))d" 0 | sed 's/.\{100\}/&\//g')
    mkdir -p "$dir" && header "$dir/Version.h"
    run "$dir/Version.h"
    expect_advanced "$dir/Version.h" "$dir/Version.bak" || echo "  at $length characters"
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
Version.BAK|Version.bak|0 Upcount: BuildCount = 42|Version.BAK|42
Version.bak |Version.bak|0 Upcount: BuildCount = 42|Version.bak|42
Version.NEW|Version.new|1 Error Tallier Can't use: Version.NEW as header, its copy would take its name|Version.new|41
Version.new |Version.new|1 Error Tallier Can't use: Version.new  as header, its copy would take its name|Version.new|41
EOF
}

# Held open without delete sharing, the header cannot be replaced: the run fails and leaves
# the header and the previous backup as they were; once let go, it is advanced.
header_held_open() {
  header Version.h
  printf 'previous backup\n' >Version.bak
  mkfifo release
  ${EMULATOR[@]+"${EMULATOR[@]}"} "$HOLD_OPEN" Version.h <release >held &
  exec 3>release
  while ! grep -q held held && kill -0 $! 2>/dev/null; do sleep 0.1; done
  run
  exec 3>&-
  wait
  expect 1 "Error Tallier Can't rename: Version.new to Version.h"
  expect_content Version.h '#define BuildCount 41\n'
  expect_content Version.bak 'previous backup\n'
  rm release held
  run
  expect_advanced Version.h Version.bak
}

# A read-only header is advanced; the new header and the backup stay read-only, and the next
# run replaces that read-only backup.
read_only_header() {
  header Version.h
  chmod a-w Version.h
  run
  expect_advanced Version.h Version.bak
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
    [ -e "$WINEPREFIX/dosdevices/$letter:" ] || break
  done
  drive=$(mktemp -d "$([ -w /dev/shm ] && echo /dev/shm || echo "$SCRATCH_ROOT")/drive.XXXXXX")
  ln -s "$drive" "$WINEPREFIX/dosdevices/$letter:"
  header "$drive/Version.h"
  run "$letter:Version.h"
  expect_advanced "$drive/Version.h" "$drive/Version.bak"
  expect_files
  rm -r "$WINEPREFIX/dosdevices/$letter:" "$drive"
}

run_cases names_beyond_the_code_page long_paths companions_that_are_the_header header_held_open \
  read_only_header drive_relative_path
finish

# The header's name holds a whole header, old or new, whatever fails or kills a run;
# parallel runs are serialised; permission bits, owner and symbolic links are kept.
. "$(dirname "$0")/lib.sh"

# Padding around the counter: larger than one read, so that a pass reads, writes and copies
# in several steps, and a torn file shows.
PADDING=$SCRATCH_ROOT/padding
for i in $(seq 5000); do printf '// line %05d of a generated header\n' "$i"; done >"$PADDING"

# Writes to standard output the header with the counter at `value`, between two paddings.
header_text() {
  cat "$PADDING"
  printf '#define BuildCount %s\n' "$1"
  cat "$PADDING"
}

# A header at 41 in Version.h; its text now and after one run kept outside the case.
make_header() {
  header_text 41 >Version.h
  header_text 41 >"$SCRATCH_ROOT/$CURRENT.old"
  header_text 42 >"$SCRATCH_ROOT/$CURRENT.new"
}

# Prints old or new when the file holds exactly one of those texts, else torn.
which_text() {
  if cmp -s "$1" "$SCRATCH_ROOT/$CURRENT.old"; then
    echo old
  elif cmp -s "$1" "$SCRATCH_ROOT/$CURRENT.new"; then
    echo new
  else
    echo torn
  fi
}

# Runs the tool under strace with the given options, then forgets the wrapper. LeakSanitizer
# cannot run under ptrace, so a sanitizer build skips only its leak check here.
run_traced() {
  local options=$1
  shift
  # shellcheck disable=SC2086  # the options are several words
  WRAP=(env ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null $options)
  run "$@"
  WRAP=()
}

# A run that finishes cleanly after whatever happened before: the counter goes one further
# from what the header holds and only the header and its backup remain.
expect_clean_rerun() {
  local was
  was=$(which_text Version.h)
  cp Version.h "$SCRATCH_ROOT/$CURRENT.before-rerun"
  run
  if [ "$was" = old ]; then
    expect 0 "Upcount: BuildCount = 42"
  else
    expect 0 "Upcount: BuildCount = 43"
  fi
  expect_files Version.bak Version.h
  cmp -s Version.bak "$SCRATCH_ROOT/$CURRENT.before-rerun" ||
    fail "backup is not the header before the rerun"
}

# file (under -P) | strace injections | message. Each fault must fail the run with the
# header untouched and no backup. copy_file_range is refused where the fault is meant for
# the plain copy loop that stands in for it.
io_errors_leave_the_header_untouched() {
  local file injections message
  while IFS='|' read -r file injections message; do
    rm -f Version.*
    make_header
    run_traced "-P $PWD/$file -e trace=all $injections"
    expect 1 "$message" || echo "  with $injections on $file"
    check "header after $injections" "$(which_text Version.h)" old
    [ -e Version.bak ] && fail "backup made with $injections"
    expect_clean_rerun
  done <<'EOF'
Version.h|-e inject=read:error=EIO|Error Tallier Error reading: Version.h
Version.h|-e inject=read:error=EIO:when=2|Error Tallier Error reading: Version.h
Version.h|-e inject=copy_file_range:error=EXDEV -e inject=read:error=EIO:when=3|Error Tallier Error reading: Version.h
Version.new|-e inject=write:error=EIO|Error Tallier Error writing: Version.new
Version.new|-e inject=write:error=ENOSPC:when=2+|Error Tallier Error writing: Version.new
Version.new|-e inject=fsync:error=EIO|Error Tallier Error writing: Version.new
Version.new|-e inject=close:error=EIO|Error Tallier Error writing: Version.new
EOF
}

# Where the kernel will not copy file to file (another file system, an old kernel), the
# plain loop copies the same bytes.
refused_fast_copy_gives_the_same_bytes() {
  make_header
  run_traced "-e trace=copy_file_range -e inject=copy_file_range:error=EXDEV"
  expect 0 "Upcount: BuildCount = 42"
  check header "$(which_text Version.h)" new
  check backup "$(which_text Version.bak)" old
}

# A run's system calls on names: the header's name is never unlinked or renamed away, the
# copy takes it in one rename once written and synced (the other rename gives the previous
# header the backup's name), and the directory is synced after.
trace_shows_an_atomic_durable_replacement() {
  local trace=$SCRATCH_ROOT/$CURRENT.trace at='(AT_FDCWD<[^>]*>, )?' calls header_gone
  local rename_line sync_line last_write
  make_header
  printf 'stale\n' >Version.bak
  calls=link,linkat,unlink,unlinkat,rename,renameat,renameat2,fsync,fdatasync,write,pwrite64
  WRAP=(env ASAN_OPTIONS=detect_leaks=0 strace -f -qq -y -o "$trace" -e trace=$calls,copy_file_range)
  run
  WRAP=()
  expect 0 "Upcount: BuildCount = 42"
  header_gone=$(grep -E "(unlink|unlinkat|rename|renameat|renameat2)\\($at\"Version\\.h\"" "$trace")
  check "calls that take the header's name away" "$header_gone" ""
  check "renames" "$(grep -cE '^[0-9]+ +rename' "$trace")" 2
  rename_line=$(grep -nE "rename(at2?)?\\($at\"Version\\.new\", $at\"Version\\.h\"(, 0)?\\) += 0" "$trace" |
    cut -d: -f1)
  sync_line=$(grep -nE 'f(data)?sync\([0-9]+<[^>]*/Version\.new>\) += 0' "$trace" | tail -1 | cut -d: -f1)
  last_write=$(grep -nE '(write|pwrite64)\([0-9]+<[^>]*/Version\.new>|copy_file_range\(.*/Version\.new>' \
    "$trace" | tail -1 | cut -d: -f1)
  if [ -z "$rename_line" ] || [ -z "$sync_line" ] || [ -z "$last_write" ]; then
    fail "missing: rename of the copy (${rename_line:-none}), its sync (${sync_line:-none}) or writes"
    return
  fi
  [ "$last_write" -lt "$sync_line" ] || fail "the copy is written after its sync"
  [ "$sync_line" -lt "$rename_line" ] || fail "the copy is synced after the rename"
  sed -n "$rename_line,\$p" "$trace" | grep -qE "f(data)?sync\([0-9]+<$PWD>\) += 0" ||
    fail "the directory is not synced after the rename"
}

# Killed at entry to each step of the replacement (strace delivers SIGKILL before the call
# runs): the header is whole, the one expected, and a rerun cleans up. A leftover copy and
# an old backup are there so that every step has work to do.
# injection | header after the kill
killed_at_each_step_leaves_a_whole_header() {
  local injection expected
  while IFS='|' read -r injection expected; do
    rm -f Version.*
    make_header
    printf 'partial cop' >Version.new
    printf 'stale\n' >Version.bak
    run_traced "-e trace=all -e inject=$injection:signal=KILL" 2>/dev/null
    check "status when killed at $injection" "$RC" 137
    check "header when killed at $injection" "$(which_text Version.h)" "$expected"
    expect_clean_rerun
  done <<'EOF'
unlink:when=1|old
write:when=2|old
copy_file_range|old
fsync:when=1|old
unlink:when=2|old
link|old
rename|old
rename:when=2|new
fsync:when=2|new
EOF
}

# N runs at once on one header: each waits its turn, prints its own value and succeeds,
# and meanwhile a reader only ever sees whole headers and backups.
parallel_runs_are_serialised() {
  local n=20 i seen=0 out=$SCRATCH_ROOT/$CURRENT.out snaps=$SCRATCH_ROOT/$CURRENT.snaps torn
  mkdir "$out" "$snaps"
  header_text 100 >Version.h
  for i in $(seq "$n"); do
    (
      ${EMULATOR[@]+"${EMULATOR[@]}"} "$TALLIER" >"$out/$i" 2>&1
      echo "rc=$?" >>"$out/$i"
    ) &
  done
  while [ -n "$(jobs -rp)" ] || [ "$seen" -eq 0 ]; do
    seen=$((seen + 1))
    cat Version.h >"$snaps/h$seen" 2>/dev/null || fail "header missing while runs were going"
    # There is no backup until the first run has made one.
    cat Version.bak >"$snaps/b$seen" 2>/dev/null || rm "$snaps/b$seen"
  done
  wait
  # Every text the reader may have seen: a header whose counter is 100 to 100 + n.
  torn=$(md5sum "$snaps"/* | grep -vFf <(for i in $(seq 100 $((100 + n))); do
    header_text "$i" | md5sum | cut -d' ' -f1
  done))
  check "torn headers or backups seen in $seen reads" "$torn" ""
  check "exit statuses" "$(grep -h '^rc=' "$out"/* | sort | uniq -c | tr -s ' ')" " $n rc=0"
  check "values printed" "$(grep -h '^Upcount' "$out"/* | sed 's/.*= //' | sort -n | paste -sd ' ')" \
    "$(seq 101 $((100 + n)) | paste -sd ' ')"
  cmp -s Version.h <(header_text $((100 + n))) || fail "header is not at $((100 + n))"
  cmp -s Version.bak <(header_text $((99 + n))) || fail "backup is not at $((99 + n))"
  expect_files Version.bak Version.h
}

# Version.h and Version.hpp share Version.new and Version.bak: run in parallel, each still
# gets its own text back, advanced once per run.
headers_sharing_companions_take_turns() {
  local n=8 i out=$SCRATCH_ROOT/$CURRENT.out
  mkdir "$out"
  header_text 100 >Version.h
  { printf '// the other header\n' && header_text 500; } >Version.hpp
  for i in $(seq "$n"); do
    ("$TALLIER" Version.h >"$out/h$i" 2>&1 || echo "rc=$?" >>"$out/h$i") &
    ("$TALLIER" Version.hpp >"$out/p$i" 2>&1 || echo "rc=$?" >>"$out/p$i") &
  done
  wait
  check "failures" "$(grep -hv '^Upcount' "$out"/*)" ""
  cmp -s Version.h <(header_text $((100 + n))) || fail "Version.h is not its own text at $((100 + n))"
  cmp -s Version.hpp <({ printf '// the other header\n' && header_text $((500 + n)); }) ||
    fail "Version.hpp is not its own text at $((500 + n))"
  expect_files Version.bak Version.h Version.hpp
}

# The lock is the system's: a holder makes a run wait, its death lets the run in, and runs
# on other headers do not wait for it.
lock_holder_blocks_only_its_header() {
  local holder
  make_header
  printf '#define BuildCount 7\n' >Other.h
  # One process holds the lock, so that killing it is the holder's death.
  bash -c 'exec 9<Version.h && flock 9 && exec sleep 30' &
  holder=$!
  while flock -n Version.h true; do sleep 0.05; done
  WRAP=(timeout 1)
  run
  WRAP=()
  check "status of a run behind the lock" "$RC" 124
  check "header behind the lock" "$(which_text Version.h)" old
  run Other.h
  expect 0 "Upcount: BuildCount = 8"
  kill -KILL "$holder"
  wait "$holder" 2>/dev/null
  run
  expect 0 "Upcount: BuildCount = 42"
  check header "$(which_text Version.h)" new
}

# Permission bits and owner, kept by the rewritten header.
mode_and_owner_are_kept() {
  local mode
  for mode in 640 755 444 600 2750; do
    rm -f Version.*
    make_header
    chmod "$mode" Version.h
    run
    expect 0 "Upcount: BuildCount = 42"
    check "mode of a $mode header" "$(stat -c %a Version.h)" "$mode"
  done
  if [ "$(id -u)" -eq 0 ]; then
    chown 4321:5678 Version.h
    run
    expect 0 "Upcount: BuildCount = 43"
    check "owner" "$(stat -c %u:%g Version.h)" 4321:5678
  fi
}

# Someone else's header that the caller may rewrite through its group: the caller cannot
# give the file away, but it keeps the header's group.
group_is_kept_by_an_unprivileged_run() {
  local as_other=(setpriv --reuid=1234 --regid=1234 --groups=5678)
  chmod o+x "$SCRATCH_ROOT"
  if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null ||
    ! "${as_other[@]}" test -x "$TALLIER"; then
    echo "SKIP [$CURRENT] needs root, setpriv and a tool that another user may run"
    return
  fi
  chmod 777 .
  make_header
  chown 4321:5678 Version.h
  chmod 664 Version.h
  WRAP=("${as_other[@]}")
  run
  WRAP=()
  expect 0 "Upcount: BuildCount = 42"
  check "owner and group" "$(stat -c %u:%g Version.h)" 1234:5678
  check "mode" "$(stat -c %a Version.h)" 664
}

# A header reached through links: each link stays as it was, the file at the end is
# advanced, and its companions are made beside it.
# link name | what it points to (a chain is made of several)
symbolic_links_are_kept() {
  local links target before
  while IFS='|' read -r links target; do
    rm -rf ./* && mkdir real
    header_text 41 >real/Version.h
    header_text 41 >"$SCRATCH_ROOT/$CURRENT.old"
    header_text 42 >"$SCRATCH_ROOT/$CURRENT.new"
    eval "$links"
    before=$(find . -type l -printf '%p -> %l\n' | sort)
    run "$target"
    expect 0 "Upcount: BuildCount = 42" || echo "  through $links"
    check "links through $links" "$(find . -type l -printf '%p -> %l\n' | sort)" "$before"
    check "target through $links" "$(which_text real/Version.h)" new
    check "backup through $links" "$(which_text real/Version.bak)" old
    check "beside the target" "$(ls -A real | paste -sd ' ')" "Version.bak Version.h"
    check "beside the link" "$(find . -maxdepth 1 -name 'Version.*' -type f)" ""
  done <<EOF
ln -s real/Version.h Version.h|Version.h
ln -s $SCRATCH_ROOT/$CURRENT/real/Version.h Version.h|Version.h
ln -s real/Version.h hop && ln -s hop Version.h|Version.h
mkdir sub && ln -s ../real/Version.h sub/Version.h|sub/Version.h
ln -s real inc|inc/Version.h
EOF
}

run_cases io_errors_leave_the_header_untouched refused_fast_copy_gives_the_same_bytes \
  trace_shows_an_atomic_durable_replacement killed_at_each_step_leaves_a_whole_header \
  parallel_runs_are_serialised headers_sharing_companions_take_turns \
  lock_holder_blocks_only_its_header mode_and_owner_are_kept \
  group_is_kept_by_an_unprivileged_run symbolic_links_are_kept
finish

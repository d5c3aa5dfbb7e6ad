# The header's name holds a whole header, old or new, whatever fails or kills a run; every
# failure is reported; permission bits, owner and symbolic links are kept. POSIX only: faults
# and kills are injected with strace.
. "$(dirname "$0")/lib.sh"
require strace

# Version.h at 41, beside a stale copy and backup; its text now and after one run kept aside.
make_header() {
  header_text 41 | tee Version.h >"$SCRATCH_ROOT/old"
  header_text 42 >"$SCRATCH_ROOT/new"
  printf 'partial cop' >Version.new
  printf 'stale\n' >Version.bak
}

# Prints old or new when the file holds exactly one of those texts, else torn.
which_text() {
  cmp -s "$1" "$SCRATCH_ROOT/old" && echo old && return
  cmp -s "$1" "$SCRATCH_ROOT/new" && echo new || echo torn
}

# After whatever went before, a run advances the header by one and leaves it and its backup.
expect_clean_rerun() {
  local value=43
  [ "$(which_text Version.h)" = old ] && value=42
  cp Version.h "$SCRATCH_ROOT/before-rerun"
  run
  expect 0 "Upcount: BuildCount = $value"
  expect_files Version.bak Version.h
  cmp -s Version.bak "$SCRATCH_ROOT/before-rerun" || fail "backup is not the header before the rerun"
}

# A system call fails: the run says so with its status, the header and the backup hold the
# expected texts (old, new, or the stale backup), and a rerun is clean. copy_file_range is
# refused where the fault is meant for the plain copy loop that stands in for it; a link
# refused with EXDEV stands for a file system without hard links.
# strace options (@ stands for the directory) | status | message | header after | backup after
# | files left
faults_are_reported() {
  local options status message after backup files
  while IFS='|' read -r options status message after backup files; do
    rm -f Version.*
    make_header
    run_traced "-o /dev/null -e trace=all ${options//@/$PWD}"
    expect "$status" "$message" || echo "  with $options"
    check "header after $options" "$(which_text Version.h)" "$after"
    check "backup after $options" "$(grep -qx stale Version.bak && echo stale || which_text Version.bak)" "$backup"
    expect_files $files
    expect_clean_rerun
  done <<'EOF'
-P @/Version.h -e inject=copy_file_range:error=EXDEV -e inject=read:error=EIO:when=3|1|Error Tallier Error reading: Version.h|old|stale|Version.bak Version.h Version.new
-P @/Version.h -e inject=copy_file_range:error=EXDEV|0|Upcount: BuildCount = 42|new|old|Version.bak Version.h
-P @/Version.new -e inject=write:error=ENOSPC:when=2+|1|Error Tallier Error writing: Version.new|old|stale|Version.bak Version.h Version.new
-P @/Version.new -e inject=fsync:error=EIO|1|Error Tallier Error writing: Version.new|old|stale|Version.bak Version.h Version.new
-P @/Version.new -e inject=close:error=EIO|1|Error Tallier Error writing: Version.new|old|stale|Version.bak Version.h Version.new
-e inject=rename,renameat,renameat2:error=EIO|1|Error Tallier Can't rename: Version.new to Version.h|old|stale|Version.bak Version.h Version.new
-e inject=link,linkat:error=EIO|1|Error Tallier Can't rename: Version.h to Version.bak|old|stale|Version.bak Version.h Version.new
-e inject=link,linkat:error=ENOSPC|1|Error Tallier Can't rename: Version.h to Version.bak|old|stale|Version.bak Version.h Version.new
-e inject=link,linkat:error=EXDEV|0|Upcount: BuildCount = 42|new|old|Version.bak Version.h
-e inject=link,linkat:error=EPERM -e inject=fsync:error=EIO:when=2|1|Error Tallier Can't rename: Version.h to Version.bak|old|stale|Version.bak Version.h Version.new
-e inject=rename,renameat,renameat2:error=EIO:when=2|1|Error Tallier Can't rename: Version.h to Version.bak|old|stale|Version.bak Version.h
-e inject=rename,renameat,renameat2:error=EIO:when=2+|1|Error Tallier Can't rename: Version.h to Version.bak|new|stale|Version.bak Version.h Version~h
-P @ -e inject=fsync:error=EIO|1|Error Tallier Error writing: Version.h|new|old|Version.bak Version.h
-P @ -e inject=fsync:error=EINVAL|0|Upcount: BuildCount = 42|new|old|Version.bak Version.h
EOF
}

# The calls on names: the header's name is never unlinked or renamed away (nor for a header
# that is its own backup's name), the copy takes it in one rename once written and synced
# (the other rename gives the previous header the backup's name), and the directory is
# synced after.
replacement_is_atomic_and_durable() {
  local header renames trace=$SCRATCH_ROOT/trace at='(AT_FDCWD<[^>]*>, )?' renamed synced written
  for header in Version.h:2 Version.bak:1; do
    renames=${header#*:} header=${header%:*}
    rm -f Version.*
    make_header
    [ "$header" = Version.h ] || mv Version.h "$header"
    run_traced "-y -o $trace -e trace=unlink,unlinkat,rename,renameat,renameat2,fsync,write,copy_file_range" \
      "$header"
    expect 0 "Upcount: BuildCount = 42"
    check "calls that take $header's name away" \
      "$(grep -E "(unlink|rename)(at2?)?\\($at\"${header//./\\.}\"" "$trace")" ""
    check "renames" "$(grep -cE '^[0-9]+ +rename' "$trace")" "$renames"
    renamed=$(grep -nE "rename(at2?)?\\($at\"Version\\.new\", $at\"$header\"" "$trace" | cut -d: -f1)
    synced=$(grep -nE 'fsync\([0-9]+<[^>]*/Version\.new>\) += 0' "$trace" | cut -d: -f1)
    written=$(grep -nE '(write|copy_file_range)\([0-9]+<[^>]*/Version\.new>' "$trace" | tail -1 | cut -d: -f1)
    [ -n "$written" ] && [ "${written:-0}" -lt "${synced:-0}" ] && [ "${synced:-0}" -lt "${renamed:-0}" ] ||
      fail "$header: last write ($written), sync ($synced) and rename ($renamed) out of order"
    sed -n "${renamed:-1},\$p" "$trace" | grep -qE "fsync\([0-9]+<$PWD>\) += 0" ||
      fail "$header: the directory is not synced after the rename"
  done
}

# Killed on entry to each step of the replacement: the header is whole, the one expected
# (injection/header after the kill), and a rerun cleans up.
killed_at_each_step_leaves_a_whole_header() {
  local step injection
  for step in unlink:when=1/old write:when=2/old copy_file_range/old fsync:when=1/old \
    unlink:when=2/old link/old rename/old rename:when=2/new fsync:when=2/new; do
    injection=${step%/*}
    rm -f Version.*
    make_header
    run_traced "-o /dev/null -e trace=all -e inject=$injection:signal=KILL" 2>/dev/null
    check "status when killed at $injection" "$RC" 137
    check "header when killed at $injection" "$(which_text Version.h)" "${step#*/}"
    expect_clean_rerun
  done
}

# The new header keeps the permission bits and owner; a run by someone who may not give
# the file away still keeps its group when that is one of theirs.
mode_and_owner_are_kept() {
  local mode
  for mode in 640 444 2750; do
    rm -f Version.h && header_text 1 >Version.h && chmod "$mode" Version.h
    run
    check "mode of a $mode header" "$(stat -c %a Version.h)" "$mode"
  done
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root: owner and group kept for another user"; return; }
  chown 4321:5678 Version.h
  chmod 664 Version.h
  run
  check "owner" "$(stat -c %u:%g Version.h)" 4321:5678
  # A copy of the tool that the other user can reach, wherever the build tree is.
  cp "$TALLIER" "$SCRATCH_ROOT/tallier" && chmod o+x "$SCRATCH_ROOT" && chmod 777 .
  WRAP=(setpriv --reuid=1234 --regid=1234 --groups=5678) && TALLIER=$SCRATCH_ROOT/tallier run && WRAP=()
  expect 0 "Upcount: BuildCount = 4"
  check "owner and group after an unprivileged run" "$(stat -c %u:%g Version.h)" 1234:5678
}

# A header reached through links: each link stays, the file at the end is advanced, and its
# companions are made beside it; a leftover copy that is a link is replaced, never written
# through; a backup that is a link to the header itself (hard or symbolic) is its own name. Links to make | header argument
symbolic_links_are_kept() {
  local links target before
  while IFS='|' read -r links target; do
    rm -rf ./* && mkdir real
    header_text 41 >real/Version.h
    eval "$links"
    before=$(find . -type l ! -name Version.new -printf '%p -> %l\n' | sort)
    run "$target"
    expect 0 "Upcount: BuildCount = 42" || echo "  through $links"
    check "links through $links" "$(find . -type l -printf '%p -> %l\n' | sort)" "$before"
    header_text 42 | cmp -s real/Version.h - || fail "header through $links"
    check "beside the target" "$(ls -A real | paste -sd ' ')" "Version.bak Version.h"
  done <<EOF
ln -s real/Version.h Version.h|Version.h
ln -s $SCRATCH_ROOT/$CURRENT/real/Version.h Version.h|Version.h
ln -s real/Version.h hop && ln -s hop Version.h|Version.h
mkdir sub && ln -s ../real/Version.h sub/Version.h|sub/Version.h
ln -s real inc|inc/Version.h
mkdir sub && ln -s $SCRATCH_ROOT/$CURRENT/real/Version.h sub/Version.h|sub/Version.h
ln real/Version.h real/Version.bak|real/Version.h
ln -s Version.h real/Version.bak|real/Version.h
ln -s ../kept real/Version.new && echo keep >kept|real/Version.h
EOF
  check "file behind a leftover copy" "$(cat kept)" keep
}

run_cases faults_are_reported replacement_is_atomic_and_durable \
  killed_at_each_step_leaves_a_whole_header \
  mode_and_owner_are_kept symbolic_links_are_kept
finish

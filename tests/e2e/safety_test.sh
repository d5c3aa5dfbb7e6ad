# The header's name holds a whole header, old or new, whatever fails; every failure is
# reported; permission bits, owner and symbolic links are kept. POSIX only: faults are
# injected with strace.
. "$(dirname "$0")/lib.sh"
require strace

# The header's text at 41, and after one run.
header_text 41 >"$SCRATCH_ROOT/old" && header_text 42 >"$SCRATCH_ROOT/new"

# Version.h at 41, beside a stale copy and backup, in place of any Version.* before.
make_header() {
  rm -f Version.* && cp "$SCRATCH_ROOT/old" Version.h
  printf 'partial cop' >Version.new && printf 'stale\n' >Version.bak
}

# Prints old, new or stale when the file holds exactly one of those texts, else torn.
which_text() {
  cmp -s "$1" "$SCRATCH_ROOT/old" && echo old && return
  cmp -s "$1" "$SCRATCH_ROOT/new" && echo new && return
  cmp -s "$1" <(printf 'stale\n') && echo stale || echo torn
}

# A system call fails: the run says so with its status, and the header and the backup hold the
# expected texts (old, new, or the stale backup); what the next run makes of what a failed or
# killed run left, the unit tests show. copy_file_range is refused where the fault is meant
# for the plain copy loop that stands in for it; a link refused with EXDEV stands for a file
# system without hard links.
# strace options (@ stands for the directory) | status | message | header after | backup after
# | files left
faults_are_reported() {
  local options status message after backup files
  while IFS='|' read -r options status message after backup files; do
    make_header
    run_traced "-o /dev/null -e trace=all ${options//@/$PWD}"
    check "status, output, stderr, header and backup, files with $options" \
      "$RC:$OUT:$ERR:$(which_text Version.h) $(which_text Version.bak):$(ls -A | paste -sd ' ')" \
      "$status:$message"$'\n'"::$after $backup:$files"
  done <<'EOF'
-P @/Version.h -e inject=copy_file_range:error=EXDEV -e inject=read:error=EIO:when=3|1|Error Tallier Error reading: Version.h|old|stale|Version.bak Version.h Version.new
-P @/Version.h -e inject=copy_file_range:error=EXDEV|0|Upcount: BuildCount = 42|new|old|Version.bak Version.h
-P @/Version.new -e inject=fsync:error=EIO|1|Error Tallier Error writing: Version.new|old|stale|Version.bak Version.h Version.new
-P @/Version.new -e inject=close:error=EIO|1|Error Tallier Error writing: Version.new|old|stale|Version.bak Version.h Version.new
-e inject=link,linkat:error=EIO|1|Error Tallier Can't rename: Version.h to Version.bak|old|stale|Version.bak Version.h Version.new
-e inject=link,linkat:error=EXDEV|0|Upcount: BuildCount = 42|new|old|Version.bak Version.h
-e inject=link,linkat:error=EPERM -e inject=fsync:error=EIO:when=1|1|Error Tallier Can't rename: Version.h to Version.bak|old|stale|Version.bak Version.h Version.new
-P @ -e inject=fsync:error=EIO|1|Error Tallier Error writing: Version.h|new|old|Version.bak Version.h
-P @ -e inject=fsync:error=EINVAL|0|Upcount: BuildCount = 42|new|old|Version.bak Version.h
EOF
}

# The calls on names: the header's name is never unlinked or renamed away (nor for a header
# that is its own backup's name), the copy takes it in one rename once written and synced
# (the other rename gives the previous header the backup's name), and the header's own
# directory, however it was typed, is synced after.
# the header's directory (@ for the scratch directory's full path) | its name | renames
replacement_is_atomic_and_durable() {
  local dir header renames trace=$SCRATCH_ROOT/trace at='[0-9]+<[^>]*>, ' renamed synced written
  while IFS='|' read -r dir header renames; do
    dir=${dir//@/$PWD}
    rm -rf Version.* a && mkdir -p a/b && (cd "$dir" && make_header)
    [ "$header" = Version.h ] || mv "$dir/Version.h" "$dir/$header"
    run_traced "-y -o $trace -e trace=unlinkat,renameat,renameat2,fsync,write,copy_file_range" \
      "$dir/$header"
    expect 0 "Upcount: BuildCount = 42"
    check "calls that take $header's name away; renames" \
      "$(grep -E "(unlink|rename)at2?\\($at\"${header//./\\.}\"" "$trace"); $(grep -cE '^[0-9]+ +rename' "$trace")" "; $renames"
    renamed=$(grep -nE "renameat2?\\($at\"Version\\.new\", $at\"$header\"" "$trace" | cut -d: -f1)
    synced=$(grep -nE 'fsync\([0-9]+<[^>]*/Version\.new>\) += 0' "$trace" | cut -d: -f1)
    written=$(grep -nE '(write|copy_file_range)\([0-9]+<[^>]*/Version\.new>' "$trace" | tail -1 | cut -d: -f1)
    [ -n "$written" ] && [ "${written:-0}" -lt "${synced:-0}" ] && [ "${synced:-0}" -lt "${renamed:-0}" ] ||
      fail "$header: last write ($written), sync ($synced) and rename ($renamed) out of order"
    sed -n "${renamed:-1},\$p" "$trace" | grep -qE "fsync\([0-9]+<$(cd "$dir" && pwd -P)>\) += 0" ||
      fail "$dir/$header: its directory is not synced after the rename"
  done <<'EOF'
.|Version.h|2
.|Version.bak|1
a/b|Version.h|2
@/a/b|Version.h|2
EOF
}

# A copy under Version.new that the run may not open may be another user's live run's, in a
# directory that anyone may write to: it is left alone, and the run changes nothing.
another_users_copy_is_left_alone() {
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root: another user's copy left alone"; return; }
  header_text 41 >Version.h && printf theirs >Version.new && chown 4321 Version.new
  chmod 600 Version.new && chmod 777 . && run_unprivileged --clear-groups
  expect 1 "Error Tallier Can't open: Version.new for writing"
  check "their copy" "$(cat Version.new)" theirs
  # In a sticky directory (1777) only the directory's owner may replace another's header.
  rm Version.new && chown 4321 Version.h && chmod 1777 . && run_unprivileged --clear-groups
  expect 1 "Error Tallier Can't rename: Version.new to Version.h"
  check "files in a sticky directory" "$(ls -A)" Version.h
  chmod 666 Version.h && chown 1234 . && run_unprivileged --clear-groups
  expect 0 "Upcount: BuildCount = 42"
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
  chown 4321:5678 Version.h && chmod 664 Version.h
  run
  check "owner" "$(stat -c %u:%g Version.h)" 4321:5678
  chmod 777 . && run_unprivileged --groups=5678
  expect 0 "Upcount: BuildCount = 4"
  check "owner and group after an unprivileged run" "$(stat -c %u:%g Version.h)" 1234:5678
}

# A header reached through links: each link stays, the file at the end is advanced, and its
# companions are made beside it, the backup holding the previous text; a link, symbolic or
# hard, left under a companion's name is that name's own, replaced and never followed.
# Links to make | header argument
symbolic_links_are_kept() {
  local links target before
  while IFS='|' read -r links target; do
    rm -rf ./* && mkdir real && cp "$SCRATCH_ROOT/old" real/Version.h
    eval "$links"
    before=$(find . -type l ! -name 'Version.[bn]*' -printf '%p -> %l\n' | sort)
    run "$target"
    expect 0 "Upcount: BuildCount = 42" || echo "  through $links"
    check "through $links: links; beside the target; header and backup" \
      "$(find . -type l -printf '%p -> %l\n' | sort); $(ls -A real | paste -sd ' '); $(which_text real/Version.h) $(
        which_text real/Version.bak)" "$before; Version.bak Version.h; new old"
  done <<EOF
ln -s real/Version.h Version.h|Version.h
ln -s $SCRATCH_ROOT/$CURRENT/real/Version.h Version.h|Version.h
ln -s real/Version.h hop && ln -s hop Version.h|Version.h
mkdir sub && ln -s ../real/Version.h sub/Version.h|sub/Version.h
ln -s real inc|inc/Version.h
mkdir sub && ln -s $SCRATCH_ROOT/$CURRENT/real/Version.h sub/Version.h|sub/Version.h
ln real/Version.h real/Version.bak|real/Version.h
ln -s Version.h real/Version.bak|real/Version.h
ln real/Version.h real/Version.new|real/Version.h
ln -s Version.h real/Version.new|real/Version.h
ln -s ../kept real/Version.new && echo keep >kept|real/Version.h
EOF
  check "file behind a leftover copy" "$(cat kept)" keep
}

# A run by someone who may not give the header away leaves its owner what the header let them
# do: an entry of their own in the ACL, whose wider mask widens no other entry; without ACLs
# (the calls refused), a header whose group bits grant it and whose group the run keeps. So does
# a group the run cannot keep, and the run's own group gains nothing; without ACLs the group and
# other bits must be alike. Else the run refuses, before anything changes. Run by a member of
# its group 5678, or not.
# mode | ACL | strace options | groups | status | message | header after | ACL after
owner_keeps_access() {
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root: owner keeps access"; return; }
  local mode acl options groups status message after
  while IFS='|' read -r mode acl options groups status message after; do
    rm -f Version.* && header_text 41 >Version.h && chown 4321:5678 Version.h && chmod 777 .
    chmod "$mode" Version.h && setfacl -m "$acl" Version.h
    WRAP=(env ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null $options)
    run_unprivileged --groups="$groups"
    check "status, output, header, ACL and files with a $mode header, $acl, $options, groups $groups" \
      "$RC:$OUT:$(which_text Version.h) $(getfacl -cpn Version.h | grep . | paste -sd ' '):$(ls -A | paste -sd ' ')" \
      "$status:${message:+$message$'\n'}:$after"
  done <<'EOF'
600|u:1234:rw|-e trace=none|5678|0|Upcount: BuildCount = 42|new user::rw- user:1234:rw- user:4321:rw- group::--- mask::rw- other::---:Version.bak Version.h
640|u:1234:rw,m::r|-e trace=none|5678|0|Upcount: BuildCount = 42|new user::rw- user:1234:r-- user:4321:rw- group::r-- mask::rw- other::---:Version.bak Version.h
664|g::rw|-e trace=none|5678|0|Upcount: BuildCount = 42|new user::rw- user:4321:rw- group::rw- mask::rw- other::r--:Version.bak Version.h
660|u:1234:rw|-e trace=none|1234|0|Upcount: BuildCount = 42|new user::rw- user:1234:rw- user:4321:rw- group::--- group:5678:rw- mask::rw- other::---:Version.bak Version.h
064|g::rw|-e trace=none|1234|0|Upcount: BuildCount = 42|new user::--- group::r-- group:5678:rw- mask::rw- other::r--:Version.bak Version.h
666|g:1234:r|-e trace=none|1234|0|Upcount: BuildCount = 42|new user::rw- user:4321:rw- group::r-- group:5678:rw- mask::rw- other::rw-:Version.bak Version.h
666|g::rw|-e inject=fgetxattr:error=EOPNOTSUPP|1234|0|Upcount: BuildCount = 42|new user::rw- group::rw- other::rw-:Version.bak Version.h
464|g::rw|-e inject=fgetxattr:error=EOPNOTSUPP|1234|1|Error Tallier Can't keep: Version.h for its group, whose access would change|old user::r-- group::rw- other::r--:Version.h
664|g::rw|-e inject=fgetxattr:error=EOPNOTSUPP|5678|0|Upcount: BuildCount = 42|new user::rw- group::rw- other::r--:Version.bak Version.h
664|g::rw|-e inject=fgetxattr:error=EOPNOTSUPP|1234|1|Error Tallier Can't keep: Version.h for its owner, who would lose access to it|old user::rw- group::rw- other::r--:Version.h
644|g::r|-e inject=fgetxattr:error=EOPNOTSUPP|5678|1|Error Tallier Can't keep: Version.h for its owner, who would lose access to it|old user::rw- group::r-- other::r--:Version.h
EOF
}

# Another program meanwhile, or a limit of the process: a lock held by a build that runs
# under `flock Version.h` is given up on, but not one whose holder replaced the header
# (moved: the run is stopped while that happens; that each wait has the whole patience, the
# unit tests show); a leftover copy whose lock another program keeps is left to it; the copy
# stays private to the run while it is written;
# an edit made while the run reads the header (its write time set back or not) or just before
# (early: while the run links or reads it; through a mapping dirtied before the run), or
# permissions narrowed then, are not undone, and nothing is replaced, but a reader changes
# nothing; another program's file put under the copy's name never becomes the header, and a
# run that waited for the copy's name while a Windows run replaced the header leaves that
# run's way to the backup alone; a closed output pipe, a file-size limit and the lowest memory
# limit the tool gets past its start under (which differs with the build and the machine, so it
# is searched for) are failures like any other. Each says so and leaves the header as expected.
# what runs ("$@" is the tool) | status | message | header after | backup after
others_and_limits() {
  local how status message after backup helpers
  helpers='closed() { set -o pipefail; (sleep .3; "$@") | true; }
    moved() { flock Version.h sleep .6 & local f=$!; sleep .2; "$@" & local t=$!; sleep .2
      kill -STOP $t; cp Version.h x && mv x Version.h; wait $f; kill -CONT $t; wait $t; }
    edit() { ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null -P "$PWD/Version.new" -e inject=fsync:delay_enter=1000000 "${@:2}" &
      for i in $(seq 500); do [ "$(stat -c %s Version.new 2>/dev/null)" = "$(stat -c %s Version.h)" ] && break; sleep .01; done
      eval "$1"; wait $!; }
    wine() { rm -f held; python3 -c "import fcntl, os, sys, time
f = os.open(sys.argv[1], os.O_RDWR if os.access(sys.argv[1], os.W_OK) else os.O_RDONLY); fcntl.lockf(f, fcntl.LOCK_$2, 1, 1 << 62); open(\"held\", \"w\")
time.sleep(.5); exec(sys.argv[2])" "$1" "$3" & until [ -e held ]; do sleep .01; done
      "${@:4}"; local s=$?; wait $!; return $s; }
    early() { ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null $2:delay_enter=1000000 "${@:3}" & sleep .5; eval "$1"; wait $!; }
    mapped() { python3 -c "import mmap, os, time
m = mmap.mmap(os.open(\"Version.h\", os.O_RDWR), 0); m[0] = m[0]; open(\"held\", \"w\"); time.sleep(.7); m[3] = 88" &
      local p=$!; until [ -e held ]; do sleep .01; done; "$@"; local s=$?; wait $p; return $s; }
    starved() { cp Version.h before; local kb s; for kb in $(seq 1000 20 3000); do bash -c "prlimit --as=\$((\$0 << 10)) \"\$@\"; exit \$?" $kb "$@" 2>err; s=$?
      if ((s < 126)) || ! cmp -s Version.h before; then cat err >&2; return $s; fi; done; }; '
  while IFS='|' read -r how status message after backup; do
    [[ $how == starved* ]] && grep -qa __asan_init "$TALLIER" && continue
    make_header
    WRAP=(bash -c "$helpers$how" -) && run && WRAP=()
    check "status, output, stderr, header and backup with $how" \
      "$RC:$OUT:$ERR:$(which_text Version.h) $(which_text Version.bak)" "$status:${message:+$message$'\n'}::$after $backup"
  done <<'EOF'
flock Version.h "$@"|1|Error Tallier Can't lock: Version.h, another program holds its lock|old|stale
flock Version.new sleep 12 >/dev/null & sleep .3; "$@"|1|Error Tallier Can't open: Version.new for writing|old|stale
early 'if [ "$(stat -c %a Version.new)" != 600 ]; then chmod 600 Version.h; fi' "-P $PWD/Version.h -e inject=copy_file_range" "$@"|0|Upcount: BuildCount = 42|new|old
moved "$@"|0|Upcount: BuildCount = 42|new|old
edit 'touch -r Version.h t && dd of=Version.h conv=notrunc status=none <<<"// A" && touch -r t Version.h' "$@"|1|Error Tallier Changed during the run: Version.h|torn|stale
edit 'chmod 600 Version.h' "$@"|1|Error Tallier Changed during the run: Version.h|old|stale
setfacl -m u:1234:r Version.h && edit 'setfacl -x u:1234 Version.h' "$@"|1|Error Tallier Changed during the run: Version.h|old|stale
edit 'cat Version.h >/dev/null' "$@"|0|Upcount: BuildCount = 42|new|old
edit ': >x && mv x Version.new' "$@"|1|Error Tallier Can't rename: Version.new to Version.h|old|stale
edit 'cp Version.h x && echo // >>x && mv x Version.h' "$@"|1|Error Tallier Changed during the run: Version.h|torn|stale
early 'cp Version.h x && echo // >>x && mv x Version.h' -e\ inject=linkat "$@"|1|Error Tallier Changed during the run: Version.h|torn|stale
early 'dd of=Version.h conv=notrunc status=none <<<"// A"' "-P $PWD/Version.h -e inject=copy_file_range" "$@"|1|Error Tallier Changed during the run: Version.h|torn|stale
mapped early : "-P $PWD/Version.h -e inject=copy_file_range" "$@"|1|Error Tallier Changed during the run: Version.h|torn|stale
wine Version.h SH 'os.pwrite(f, os.pread(f, 1 << 20, 0).replace(b"Count 41", b"Count 50"), 0)' "$@"|0|Upcount: BuildCount = 51|torn|torn
chmod a-w Version.h && wine Version.h SH 'open("x", "w").write("#define BuildCount 50\n"); os.rename("x", "Version.h")' "$@"|0|Upcount: BuildCount = 51|torn|torn
wine Version.new EX 'os.rename("Version.new", "Version.h")' "$@"|1|Error Tallier Changed during the run: Version.h|torn|stale
wine Version.new EX 'os.rename("Version.h", "Version~h"); os.rename("Version.new", "Version.h"); time.sleep(.3); os.rename("Version~h", "Version.bak")' "$@"|1|Error Tallier Changed during the run: Version.h|torn|old
closed "$@"|1||new|old
ulimit -f 4; "$@"|1|Error Tallier Error writing: Version.new|old|stale
starved "$@"|1|Error Tallier Out of memory|old|stale
EOF
}

# The header's access ACL is kept, with what it grants and withholds; a directory that may be
# written but not listed (mode 0300) cannot be synced itself, so its whole file system is.
# Run by another user when root, for whom no permission holds.
access_beyond_mode_bits() {
  require setfacl
  header_text 1 >Version.h && chmod 600 Version.h && setfacl -m u:1234:r Version.h
  run
  check "ACL and mode" "$(getfacl -cp Version.h | grep . | paste -sd ' ') $(stat -c %a Version.h)" \
    "user::rw- user:1234:r-- group::--- mask::r-- other::--- 640"
  mkdir e && setfacl -d -m u:1234:rw e && header_text 1 >e/Version.h && setfacl -b e/Version.h
  run e/Version.h
  check "ACL entries from the directory's default" "$(getfacl -cp e/Version.h | grep -c 1234)" 0
  mkdir d && cp "$SCRATCH_ROOT/old" d/Version.h && { [ "$(id -u)" -ne 0 ] || chown -R 1234 d; } && chmod 300 d
  WRAP=(env ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o "$SCRATCH_ROOT/trace" -e trace=syncfs)
  run_unprivileged --clear-groups d/Version.h && chmod 700 d
  expect 0 "Upcount: BuildCount = 42"
  check "synced file systems, backup in a directory of mode 0300" \
    "$(grep -c 'syncfs(.*= 0' "$SCRATCH_ROOT/trace") $(which_text d/Version.bak)" "1 old"
}

# A header further down than the longest path the system takes at once (PATH_MAX, 4,096 on
# Linux) is advanced twice, its companions beside it.
long_path() {
  local dir path i
  dir=$(printf 'd%.0s' $(seq 200)) && path=$(printf "$dir/%.0s" $(seq 25))
  (for i in $(seq 25); do mkdir $dir && cd $dir || exit; done && header_text 41 >Version.h)
  run "${path}Version.h" && run "${path}Version.h"
  expect 0 "Upcount: BuildCount = 43"
  check "files down the long path" "$(for i in $(seq 25); do cd $dir; done && ls -A | paste -sd ' ')" \
    "Version.bak Version.h"
}

run_cases faults_are_reported replacement_is_atomic_and_durable mode_and_owner_are_kept \
  symbolic_links_are_kept others_and_limits access_beyond_mode_bits long_path \
  another_users_copy_is_left_alone owner_keeps_access
finish

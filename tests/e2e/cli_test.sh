# The command line, the messages and exit statuses, and the files each outcome leaves.
. "$(dirname "$0")/lib.sh"

# The name of a file beside `path`: cut after its file name's last dot, if any, then `suffix`.
companion() { case ${1##*/} in *.*) echo "${1%.*}.$2" ;; *) echo "$1$2" ;; esac; }

# One run a row: arguments (shell words; the first names the header, Version.h by default;
# names beyond the ANSI code page reach Windows unchanged, and a message that names them is
# written in that code page where it can hold them, else in UTF-8) |
# header text as a printf format, or - for no header | status | whole output (@usage stands
# for the usage text) | files left | header text after a successful run | setup command (one
# that begins with the test $WINDOWS or ! $WINDOWS makes the row one system's; one that fails
# skips the row, and says so). The header is read in 128 KiB pieces, and one row has a CR LF
# across the first piece's end. Beside each header lies a stale backup, unless a directory
# takes its name. After a success the backup holds the header as it was; after a failure the
# header and the stale backup are as they were, and a counter that was not found leaves the
# copy as a whole copy.
outcomes() {
  local args header status output files after setup hdr bak
  while IFS='|' read -r args header status output files after setup; do
    rm -rf ./* && eval "set -- $args"
    hdr=${1:-Version.h} bak=$(companion "${1:-Version.h}" bak)
    case $setup in '$WINDOWS'*) $WINDOWS ;; '! $WINDOWS'*) ! $WINDOWS ;; esac || continue
    eval "${setup:-true}" || { echo "SKIP: row $args|$header (setup failed: $setup)"; continue; }
    if [ "$header" != - ]; then
      mkdir -p "$(dirname "$hdr")" && printf "$header" >"$hdr"
      [ "$bak" = "$hdr" ] || [ -d "$bak" ] || printf 'stale\n' >"$bak"
      cp "$hdr" "$SCRATCH_ROOT/before"
    fi
    run "$@"
    expect "$status" "$(printf '%b' "${output//@usage/"$USAGE"}")" || echo "  in row: $args|$header"
    expect_files $files
    if [ "$status" = 0 ]; then
      expect_written "$hdr" "$after"
      [ "$bak" = "$hdr" ] || cmp -s "$bak" "$SCRATCH_ROOT/before" || fail "backup of $hdr"
    elif [ "$header" != - ]; then
      cmp -s "$hdr" "$SCRATCH_ROOT/before" || fail "header $hdr changed"
      [ "$bak" = "$hdr" ] || [ -d "$bak" ] || check "backup of $hdr" "$(cat "$bak")" stale
      [[ $OUT != *"not found"* ]] || cmp -s "$(companion "$hdr" new)" <(as_written <"$hdr") ||
        fail "copy of $hdr is not whole"
    fi
  done <<'EOF'
|// header\n#define BuildCount 41\n|0|Upcount: BuildCount = 42|Version.bak Version.h|// header\n#define BuildCount 42\n
'/?'|-|1|@usage||
Version.h 'Count?' '2?'|#define Count? 1\n|0|Upcount: Count? = 3|Version.bak Version.h|#define Count? 3\n
missing.h|-|1|@usage\n\nError Tallier Can't open: missing.h for reading||
Version.h Count|#define Count 1\n#define BuildCount 1\n|0|Upcount: Count = 2|Version.bak Version.h|#define Count 2\n#define BuildCount 1\n
Version.h BuildCount -1 extra|#define BuildCount 41\n|0|Upcount: BuildCount = 40|Version.bak Version.h|#define BuildCount 40\n
Version.h BuildCount 0|#define BuildCount 41\n|0|Upcount: BuildCount = 41|Version.bak Version.h|#define BuildCount 41\n
Version.h BuildCount 18446744073709551617|#define BuildCount 1\n|1|Error Tallier Increment out of range: 18446744073709551617|Version.bak Version.h|
||2|Error Tallier name:BuildCount or number not found|Version.bak Version.h Version.new|
|#define BuildCount 2147483647|2|Error Tallier name:BuildCount number out of range|Version.bak Version.h Version.new|
|%131071s\r\n#define BuildCount 5\n|0|Upcount: BuildCount = 6|Version.bak Version.h|%131071s\r\n#define BuildCount 6\n
|// \032 end?\0\r\n// mixed\n#define BuildCount 1\r// cr\r\r\n\032end\r|0|Upcount: BuildCount = 2|Version.bak Version.h|// \032 end?\0\r\n// mixed\n#define BuildCount 2\r// cr\r\r\n\032end\r
Version|#define BuildCount 1\n|0|Upcount: BuildCount = 2|Version Versionbak|#define BuildCount 2\n
build.d/Version|#define BuildCount 7\n|0|Upcount: BuildCount = 8|build.d|#define BuildCount 8\n
Vęrsion.h|#define BuildCount 41\n|0|Upcount: BuildCount = 42|Vęrsion.bak Vęrsion.h|#define BuildCount 42\n
'版本/子目录/🔢 1.h'|#define BuildCount 41\n|0|Upcount: BuildCount = 42|版本|#define BuildCount 42\n
Vęrsion/missing.h|-|1|@usage\n\nError Tallier Can't open: Vęrsion/missing.h for reading||
café/missing.h|-|1|@usage\n\nError Tallier Can't open: caf\xe9/missing.h for reading|||$WINDOWS
Version.bak|#define BuildCount 1\n|0|Upcount: BuildCount = 2|Version.bak|#define BuildCount 2\n
Version.new|#define BuildCount 1\n|1|Error Tallier Can't use: Version.new as header, its copy would take its name|Version.bak Version.new|
missing.new|-|1|Error Tallier Can't use: missing.new as header, its copy would take its name||
VERSION.NEW|#define BuildCount 1\n|1|Error Tallier Can't use: VERSION.NEW as header, its copy would take its name|VERSION.NEW VERSION.bak||$WINDOWS
|#define BuildCount 1\n|1|Error Tallier Can't open: Version.new for writing|Version.bak Version.h Version.new||mkdir Version.new
|#define BuildCount 1\n|1|Error Tallier Can't open: Version.new for writing|Version.bak Version.h Version.new||! $WINDOWS && mkfifo Version.new
|#define BuildCount 1\n|0|Upcount: BuildCount = 2|Version.bak Version.h|#define BuildCount 2\n|ln -s nowhere Version.new
|#define BuildCount 1\n|0|Upcount: BuildCount = 2|Version.bak Version.h kept|#define BuildCount 2\n|echo keep >kept && ln -s kept Version.new
NUL.d/Version|#define BuildCount 1\n|0|Upcount: BuildCount = 2|NUL.d|#define BuildCount 2\n|$WINDOWS
|#define BuildCount 1\n|1|Error Tallier Can't rename: Version.h to Version.bak|Version.bak Version.h Version.new||mkdir Version.bak
L|-|1|Error Tallier Can't rename: L to t.d/Nbak|L t.d||! $WINDOWS && mkdir -p t.d/Nbak && echo '#define BuildCount 1' >t.d/N && ln -s t.d/N L
|\xef\xbb\xbf#define BuildCount 41\r\n|0|Upcount: BuildCount = 42|Version.bak Version.h|\xef\xbb\xbf#define BuildCount 42\r\n
|#define BuildCount 1\n|0|Upcount: BuildCount = 2|Version.bak Version.h|#define BuildCount 2\n|! $WINDOWS && ln -s Version.h Version.new
|#define BuildCount 1\n|0|Upcount: BuildCount = 2|Version.bak Version.h|#define BuildCount 2\n|printf left >Version.new && chmod a-w Version.new
proj/Version.h|#define BuildCount 1\n|0|Upcount: BuildCount = 2|Version.new proj|#define BuildCount 2\n|mkdir proj && echo keep >Version.new && ln -s ../Version.new proj/Version.new
|-|1|@usage\n\nError Tallier Can't open: Version.h for reading|Version~h other||mkdir other && echo keep >other/data.h && ln other/data.h Version~h
|-|1|Error Tallier Can't use: Version.h as header, it is not a regular file|Version.h||mkdir Version.h
./|-|1|Error Tallier Can't use: ./ as header, it is not a regular file||
|-|1|Error Tallier Can't use: Version.h as header, it is not a regular file|Version.h||! $WINDOWS && mkfifo Version.h
|-|1|Error Tallier Can't use: Version.h as header, it is not a regular file|Version.h||! $WINDOWS && ln -s /dev/zero Version.h
NUL|-|1|Error Tallier Can't use: NUL as header, it is not a regular file|||$WINDOWS
|-|1|Error Tallier Can't use: Version.h as header, it is not a regular file|Version.h||$WINDOWS && mkfifo Version.h
|-|1|@usage\n\nError Tallier Can't open: Version.h for reading|Version.h||! $WINDOWS && ln -s nowhere.h Version.h
EOF
}

# Runs at once, and runs that arrive while others replace the header, take turns: each
# prints its own value and succeeds; Version.h and Version.hpp, which share their copy's and
# backup's names, each get their own text back; and a reader meanwhile only ever finds a
# whole header (on Windows the header steps aside an instant).
parallel_runs_take_turns() {
  local n=6 i header seen=0 known
  mkdir out snaps && header_text 100 >Version.h && header_text 500 >Version.hpp
  for i in $(seq $n); do
    [ $((i % 2)) = 0 ] || sleep 0.01
    for header in Version.h Version.hpp; do
      (${EMULATOR[@]+"${EMULATOR[@]}"} "$TALLIER" $header >"out/$header$i" 2>&1
        echo "rc=$?" >>"out/$header$i") &
    done
  done
  while ! $WINDOWS && [ -n "$(jobs -rp)" ]; do
    seen=$((seen + 1))
    cat Version.h >"snaps/$seen" 2>/dev/null || fail "no header while runs were going"
  done
  wait
  check "statuses" "$(grep -h '^rc=' out/* | sort | uniq -c | tr -s ' ')" " $((2 * n)) rc=0"
  check "values printed" "$(sed -n 's/^Upcount: BuildCount = \([0-9]*\).*/\1/p' out/* | sort -n |
    paste -sd ' ')" "$(seq 101 $((100 + n)) | paste -sd ' ') $(seq 501 $((500 + n)) | paste -sd ' ')"
  known=$(for i in $(seq 100 $((100 + n))); do header_text "$i" | as_written | md5sum; done)
  check "torn headers in $seen reads" "$(for f in snaps/*; do md5sum <"$f"; done | grep -vxF "$known")" ""
  header_text $((100 + n)) | as_written | cmp -s Version.h - || fail "Version.h is not at $((100 + n))"
  header_text $((500 + n)) | as_written | cmp -s Version.hpp - || fail "Version.hpp is not at $((500 + n))"
}

# A build that cannot see the new value has not been told of success; a run that found
# nothing keeps its own status.
unwritable_standard_output_fails_the_run() {
  local line
  for line in 'BuildCount 1:1' 'Other 1:2'; do
    printf '#define %s\n' "${line%:*}" >Version.h
    WRAP=(bash -c 'exec "$@" >/dev/full' -) && run && WRAP=()
    check "exit status for ${line%:*}" "$RC" "${line#*:}"
  done
}

run_cases outcomes parallel_runs_take_turns unwritable_standard_output_fails_the_run
finish

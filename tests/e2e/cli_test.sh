# The command line, the messages and exit statuses, and the files each outcome leaves.
. "$(dirname "$0")/lib.sh"

USAGE=$'Tallier [file = Version.h] ; [varname = BuildCount] ; [inc.= +1]\nTallier reads filename & in-decrements the value after varname.'

defaults_advance_version_h() {
  printf '// header\n#define BuildCount 41\n' >Version.h
  run
  expect 0 "Upcount: BuildCount = 42"
  expect_files Version.bak Version.h
  expect_written Version.h '// header\n#define BuildCount 42\n'
  expect_content Version.bak '// header\n#define BuildCount 41\n'
}

question_mark_in_first_argument_prints_usage_only() {
  local arg
  for arg in '/?' '-?' 'Version.h?' '\\?\C:\inc\Version.h'; do
    run "$arg"
    expect 1 "$USAGE"
  done
  expect_files
}

question_mark_elsewhere_has_no_effect() {
  printf '#define Count? 1\n' >Version.h
  run Version.h 'Count?' '2?'
  expect 0 "Upcount: Count? = 3"
}

missing_header_prints_usage_then_error() {
  run missing.h
  expect 1 "$USAGE"$'\n\nError Tallier Can\'t open: missing.h for reading'
  expect_files
}

increment_is_read_like_percent_d() {
  local row inc expected
  for row in '-1 40' '+5 46' '7x 48' 'x 42' '0 41' ' 3 44' '-2147483648 -2147483607'; do
    inc=${row% *}
    expected=${row##* }
    printf '#define BuildCount 41\n' >Version.h
    run Version.h BuildCount "$inc"
    expect 0 "Upcount: BuildCount = $expected" &&
      expect_written Version.h "#define BuildCount $expected\n" &&
      expect_content Version.bak '#define BuildCount 41\n'
  done
}

increment_that_does_not_fit_is_refused() {
  local inc
  for inc in 2147483648 -2147483649 99999999999999999999; do
    run Version.h BuildCount "$inc"
    check "status for $inc" "$RC" 1
    check "message for $inc" "${OUT%%: *}" "Error Tallier Increment out of range"
  done
  expect_files
}

empty_header_is_not_advanced() {
  : >Version.h
  run
  expect 2 "Error Tallier name:BuildCount or number not found"
  expect_files Version.h Version.new
  expect_content Version.new ''
  expect_content Version.h ''
}

only_the_first_counter_line_changes() {
  printf '#define BuildCount\n#define BuildCount x\n#define BuildCount 5\n#define BuildCount 9\n' >Version.h
  run
  expect 0 "Upcount: BuildCount = 6"
  expect_written Version.h '#define BuildCount\n#define BuildCount x\n#define BuildCount 6\n#define BuildCount 9\n'
}

counter_is_found_only_at_the_start_of_a_line() {
  # A directive 511 bytes into a line, where a fixed 511-byte read would put it at a start.
  local pad
  pad=$(printf '%511s' '')
  printf '%s#define BuildCount 5\n' "$pad" >Version.h
  run
  expect 2 "Error Tallier name:BuildCount or number not found"
  cmp -s Version.new <(as_written <Version.h) || fail "copy differs from the header"
}

long_lines_and_any_bytes_pass_unchanged() {
  head -c 3000000 /dev/urandom >tail.bin
  { printf '#define X %70000s BuildCount %70000s 99 */\n' '/*' ''; cat tail.bin; } >Version.h
  run
  expect 0 "Upcount: BuildCount = 100"
  { printf '#define X %70000s BuildCount %70000s 100 */\n' '/*' ''; cat tail.bin; } | as_written >expected
  cmp -s Version.h expected || fail "rewritten header differs"
  { printf '#define X %70000s BuildCount %70000s 99 */\n' '/*' ''; cat tail.bin; } >expected
  cmp -s Version.bak expected || fail "backup differs"
}

# Exactly $1 bytes of table-like lines, the last one cut short after $2 (a line feed or not).
rows() {
  yes ' 0x00, 0x01, 0x02, 0x03,' | head -c $(($1 - 1))
  printf '%s' "$2"
}

counter_line_at_read_boundaries() {
  # The header is read in 128 KiB pieces: a line that starts at, just before or just after
  # the edge of a piece is still judged from its first byte, and only from its first byte.
  local at
  for at in 131070 131071 131072 131073 262143 262144 262145; do
    { rows "$at" $'\n'; printf '#define BuildCount 5\n// end\n'; } >Version.h
    run
    expect 0 "Upcount: BuildCount = 6" || continue
    { rows "$at" $'\n'; printf '#define BuildCount 6\n// end\n'; } | as_written >expected
    cmp -s Version.h expected || fail "header rewritten wrongly with the counter at $at"
    { rows "$at" 'y'; printf '#define BuildCount 5\n#define BuildCount 8\n'; } >Version.h
    run
    expect 0 "Upcount: BuildCount = 9" || continue
    { rows "$at" 'y'; printf '#define BuildCount 5\n#define BuildCount 9\n'; } | as_written >expected
    cmp -s Version.h expected || fail "header rewritten wrongly with a mid-line # at $at"
  done
}

counter_at_the_very_end_of_the_text() {
  printf 'int x;\n#define BuildCount 9' >Version.h
  run
  expect 0 "Upcount: BuildCount = 10"
  expect_written Version.h 'int x;\n#define BuildCount 10'
}

line_ends_follow_the_platform() {
  # header | written on POSIX (the header's bytes) | written on Windows (CR LF line ends)
  local rows=(
    '// lf\n#define BuildCount 1\n|// lf\n#define BuildCount 2\n|// lf\r\n#define BuildCount 2\r\n'
    '// crlf\r\n#define BuildCount 1\r\n|// crlf\r\n#define BuildCount 2\r\n|// crlf\r\n#define BuildCount 2\r\n'
    '// mixed\n#define BuildCount 1\r\nend|// mixed\n#define BuildCount 2\r\nend|// mixed\r\n#define BuildCount 2\r\nend'
    '#define BuildCount 1\r// cr\r\r\n|#define BuildCount 2\r// cr\r\r\n|#define BuildCount 2\r// cr\r\r\n'
  )
  local row header posix windows
  for row in "${rows[@]}"; do
    IFS='|' read -r header posix windows <<<"$row"
    printf "$header" >Version.h
    run
    expect 0 "Upcount: BuildCount = 2"
    if $WINDOWS; then
      expect_content Version.h "$windows"
    else
      expect_content Version.h "$posix"
    fi
    expect_content Version.bak "$header"
  done
}

ctrl_z_and_zero_bytes_do_not_end_the_text() {
  printf '// \032 end?\n\0\n#define BuildCount 1\n\032tail\0\n' >Version.h
  run
  expect 0 "Upcount: BuildCount = 2"
  expect_written Version.h '// \032 end?\n\0\n#define BuildCount 2\n\032tail\0\n'
  expect_content Version.bak '// \032 end?\n\0\n#define BuildCount 1\n\032tail\0\n'
}

parallel_runs_are_serialised() {
  printf '#define BuildCount 0\n' >Version.h
  mkdir logs
  local i pids=()
  for i in 1 2 3 4 5 6 7 8; do
    ${EMULATOR[@]+"${EMULATOR[@]}"} "$TALLIER" >"logs/$i" 2>&1 &
    pids+=($!)
  done
  for i in "${pids[@]}"; do
    wait "$i" || fail "a run ended with status $?"
  done
  # Each of the values 1 to 8 reported exactly once.
  check "outputs" "$(cat logs/* | tr -d '\r' | sort | uniq -c | awk '{print $1 $NF}' | paste -sd ' ')" \
    "11 12 13 14 15 16 17 18"
  expect_written Version.h '#define BuildCount 8\n'
  expect_written Version.bak '#define BuildCount 7\n'
  expect_files Version.bak Version.h logs
}

companions_follow_the_last_dot() {
  printf '#define BuildCount 1\n' >Version
  run Version
  expect 0 "Upcount: BuildCount = 2"
  expect_files Version Versionbak
  mkdir build.d
  printf '#define BuildCount 7\n' >build.d/Version
  run build.d/Version
  expect 0 "Upcount: BuildCount = 8"
  expect_files Version Versionbak build.bak build.d
  expect_content build.bak '#define BuildCount 7\n'
  expect_written build.d/Version '#define BuildCount 8\n'
}

header_named_bak_keeps_no_backup() {
  printf '#define BuildCount 1\n' >Version.bak
  run Version.bak
  expect 0 "Upcount: BuildCount = 2"
  expect_files Version.bak
  expect_written Version.bak '#define BuildCount 2\n'
}

header_named_new_is_refused() {
  printf '#define BuildCount 1\n' >Version.new
  run Version.new
  check "status" "$RC" 1
  check "message" "$OUT" "Error Tallier Can't use: Version.new as header, its copy would take its name"$'\n'
  expect_files Version.new
  expect_content Version.new '#define BuildCount 1\n'
}

backup_holds_the_header_before_the_last_run() {
  printf '#define BuildCount 1\n' >Version.h
  run && run
  expect 0 "Upcount: BuildCount = 3"
  expect_written Version.bak '#define BuildCount 2\n'
  expect_files Version.bak Version.h
}

counter_out_of_range_is_refused() {
  local row
  for row in '2147483647 1' '-2147483648 -1' '4294967297 1' '2147483648 0'; do
    printf '#define BuildCount %s\n#define BuildCount 5\n' "${row% *}" >Version.h
    cp Version.h before
    run Version.h BuildCount "${row#* }"
    check "status" "$RC" 2
    check "message" "$OUT" $'Error Tallier name:BuildCount number out of range\n'
    cmp -s Version.h before || fail "header changed"
    [ -e Version.bak ] && fail "backup made"
  done
}

hexadecimal_is_not_a_counter() {
  printf '#define BuildCount 0x1F\n#define BuildCount 3\n' >Version.h
  run
  expect 0 "Upcount: BuildCount = 4"
  expect_written Version.h '#define BuildCount 0x1F\n#define BuildCount 4\n'
}

run_cases defaults_advance_version_h question_mark_in_first_argument_prints_usage_only \
  question_mark_elsewhere_has_no_effect missing_header_prints_usage_then_error \
  increment_is_read_like_percent_d increment_that_does_not_fit_is_refused \
  empty_header_is_not_advanced only_the_first_counter_line_changes \
  counter_is_found_only_at_the_start_of_a_line long_lines_and_any_bytes_pass_unchanged \
  counter_line_at_read_boundaries counter_at_the_very_end_of_the_text line_ends_follow_the_platform \
  ctrl_z_and_zero_bytes_do_not_end_the_text parallel_runs_are_serialised \
  companions_follow_the_last_dot header_named_bak_keeps_no_backup header_named_new_is_refused \
  backup_holds_the_header_before_the_last_run counter_out_of_range_is_refused \
  hexadecimal_is_not_a_counter
finish

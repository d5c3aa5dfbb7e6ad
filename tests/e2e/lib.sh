# Shared helpers for the end-to-end tests: each case runs the built tool in a scratch
# directory of its own and checks its output, exit status and every file left behind.
# Usage: bash <test>.sh <path to tallier> [emulator...]
set -u
shopt -s nullglob

TALLIER=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
EMULATOR=("$@")
# The tool built for Windows writes text in the Windows convention.
[[ $TALLIER == *.exe ]] && WINDOWS=true || WINDOWS=false
USAGE=$'Tallier [file = Version.h] ; [varname = BuildCount] ; [inc.= +1]\nTallier reads filename & in-decrements the value after varname.'
WRAP=()
SCRATCH_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/tallier-e2e.XXXXXX")
trap 'chmod -R u+w "$SCRATCH_ROOT" 2>/dev/null; rm -rf "$SCRATCH_ROOT"' EXIT
FAILED=0 CURRENT=""

# Runs each named case in a fresh, empty directory.
run_cases() {
  for CURRENT in "$@"; do
    mkdir "$SCRATCH_ROOT/$CURRENT" && cd "$SCRATCH_ROOT/$CURRENT" || exit 2
    "$CURRENT"
  done
  cd "$SCRATCH_ROOT" || exit 2
}

# Runs the tool behind the command in WRAP, if any, and stops it after a minute, so that a
# run that hangs fails its case; sets OUT (standard output, byte for byte), ERR and RC.
run() {
  OUT=$(timeout 60 ${WRAP[@]+"${WRAP[@]}"} ${EMULATOR[@]+"${EMULATOR[@]}"} "$TALLIER" "$@" \
    2>"$SCRATCH_ROOT/stderr"; echo "rc=$?")
  RC=${OUT##*rc=} OUT=${OUT%rc=*}
  ERR=$(cat "$SCRATCH_ROOT/stderr")
}

# Runs the tool under strace with the given options (LeakSanitizer cannot run under ptrace).
run_traced() {
  # shellcheck disable=SC2206  # the options are several words
  WRAP=(env ASAN_OPTIONS=detect_leaks=0 strace -f -qq $1)
  run "${@:2}"
  WRAP=()
}

fail() { echo "FAIL [$CURRENT] $*"; FAILED=$((FAILED + 1)); return 1; }

# check <what> <actual> <expected>
check() { [ "$2" = "$3" ] || fail "$1: got $(printf %q "$2"), expected $(printf %q "$3")"; }

# Checks the status and the whole output (the last line feed implied; on Windows each line
# ends in CR LF), and an empty stderr.
expect() {
  local output=$2$'\n'
  $WINDOWS && output=${output//$'\n'/$'\r\n'}
  check "exit status" "$RC" "$1" && check "output" "$OUT" "$output" && check "stderr" "$ERR" ""
}

# Checks the names in the current directory (one level, sorted).
expect_files() { check "files" "$(ls -A | sort | paste -sd ' ')" "$*"; }

# Turns header text on standard input into the bytes the tool writes for it: unchanged on
# POSIX; on Windows CR LF is read as LF, and every LF written as CR LF.
as_written() { if $WINDOWS; then perl -0777 -pe 's/\r\n/\n/g; s/\n/\r\n/g'; else cat; fi; }

# expect_content <file> <printf format>: the file holds exactly those bytes; expect_written:
# it holds what the tool writes for that header text.
expect_content() { cmp -s "$1" <(printf "$2") || fail "content of $1: $(od -c "$1" | head -3)"; }
expect_written() { cmp -s "$1" <(printf "$2" | as_written) || fail "content of $1: $(od -c "$1" | head -3)"; }

# A header several reads long with the counter at $1 in the middle.
header_text() {
  local lines && lines=$(yes '// a line of a generated header' | head -n 5000)
  printf '%s\n#define BuildCount %s\n%s\n' "$lines" "$1" "$lines"
}

# A mistyped helper's name must fail the test, not pass unseen (bash runs this in a subshell).
command_not_found_handle() {
  echo "FAIL [$CURRENT] no command $1" | tee -a "$SCRATCH_ROOT/missing"
  return 127
}

finish() {
  echo "e2e: $FAILED failed checks"
  [ "$FAILED" -eq 0 ] && [ ! -e "$SCRATCH_ROOT/missing" ]
}

# Runs the tool as user 1234 (with the options given to setpriv) when root, for whom no
# permission holds, from a copy that user can reach wherever the build tree is; as itself
# otherwise.
run_unprivileged() {
  local tallier=$TALLIER
  if [ "$(id -u)" -eq 0 ]; then
    cp "$TALLIER" "$SCRATCH_ROOT/tallier" && chmod o+x "$SCRATCH_ROOT" . && TALLIER=$SCRATCH_ROOT/tallier
    # shellcheck disable=SC2206  # the options are several words
    WRAP+=(setpriv --reuid=1234 --regid=1234 $1)
  fi
  run "${@:2}"
  WRAP=() TALLIER=$tallier
}

# Ends the test as skipped (status 77, which CTest is told to count so) when the given tool
# is missing.
require() { command -v "$1" >/dev/null || { echo "SKIP: $1 not found"; exit 77; }; }

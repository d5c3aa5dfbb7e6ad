# Shared helpers for the end-to-end tests: each test runs the built tool in a scratch
# directory and checks its output, exit status and every file left behind.
# Usage: bash <test>.sh <path to tallier> [emulator...]
set -u

TALLIER=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
EMULATOR=("$@")
# The tool built for Windows writes text in the Windows convention.
WINDOWS=false
case $TALLIER in *.exe) WINDOWS=true ;; esac
WRAP=()
SCRATCH_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/tallier-e2e.XXXXXX")
trap 'chmod -R u+w "$SCRATCH_ROOT" 2>/dev/null; rm -rf "$SCRATCH_ROOT"' EXIT
PASSED=0
FAILED=0
CHECKS_FAILED=0
CURRENT=""

# Runs each named test function in a fresh, empty directory; a case passes when none of
# its checks failed.
run_cases() {
  local name before
  for name in "$@"; do
    CURRENT=$name
    before=$CHECKS_FAILED
    mkdir "$SCRATCH_ROOT/$name"
    cd "$SCRATCH_ROOT/$name" || exit 2
    "$name"
    if [ "$CHECKS_FAILED" -eq "$before" ]; then
      PASSED=$((PASSED + 1))
    else
      FAILED=$((FAILED + 1))
    fi
  done
  cd "$SCRATCH_ROOT" || exit 2
}

# Runs the tool with the given arguments, behind the command in WRAP if any; sets OUT (standard output, with any CR before a
# line feed taken out, as a Windows console adds it), ERR and RC.
run() {
  OUT=$(${WRAP[@]+"${WRAP[@]}"} ${EMULATOR[@]+"${EMULATOR[@]}"} "$TALLIER" "$@" \
    2>"$SCRATCH_ROOT/stderr"; echo "rc=$?")
  RC=${OUT##*rc=}
  OUT=${OUT%rc=*}
  OUT=${OUT//$'\r\n'/$'\n'}
  ERR=$(cat "$SCRATCH_ROOT/stderr")
}

# Counts one failed check; a case with any failed check fails.
fail() {
  echo "FAIL [$CURRENT] $*"
  CHECKS_FAILED=$((CHECKS_FAILED + 1))
  return 1
}

# check <what> <actual> <expected>
check() {
  if [ "$2" != "$3" ]; then
    fail "$1: got $(printf %q "$2"), expected $(printf %q "$3")"
    return 1
  fi
}

# Checks the run's status and its output (one or more lines; the last line feed is implied),
# and that nothing went to standard error.
expect() {
  check "exit status" "$RC" "$1" && check "output" "$OUT" "$2"$'\n' && check "stderr" "$ERR" ""
}

# Checks the names in the current directory (one level, sorted).
expect_files() {
  check "files" "$(ls -A | sort | paste -sd ' ')" "$*"
}

# Checks a file's exact bytes against a printf format.
expect_content() {
  local file=$1
  shift
  if ! cmp -s "$file" <(printf "$@"); then
    fail "content of $file: $(od -c "$file" 2>&1 | head -5)"
    return 1
  fi
}

# Turns header bytes on standard input into the bytes the tool writes for them: unchanged on
# POSIX; on Windows the header is read with CR LF folded to LF, and every LF written as CR LF.
as_written() {
  if $WINDOWS; then
    perl -0777 -pe 's/\r\n/\n/g; s/\n/\r\n/g'
  else
    cat
  fi
}

# Checks the bytes of a file the tool wrote against the printf format of the header text it
# was written from.
expect_written() {
  local file=$1
  shift
  if ! cmp -s "$file" <(printf "$@" | as_written); then
    fail "content of $file: $(od -c "$file" 2>&1 | head -5)"
    return 1
  fi
}

finish() {
  echo "e2e: $PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
}

# Ends the test as skipped (status 77, which CTest is told to count so) when the given tool
# is missing.
require() {
  command -v "$1" >/dev/null || { echo "SKIP: $1 not found"; exit 77; }
}

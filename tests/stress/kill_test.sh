# Kills runs at random moments, some of them while others wait for the header, on a large
# header, and checks after each round that the header is whole, that it advanced once for
# every run that said so (and at most once more for the killed one), and that a clean run
# afterwards succeeds and leaves only the header and its backup.
# Usage: bash kill_test.sh <path to tallier> [rounds, default 50]
set -u

TALLIER=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
ROUNDS=${2:-50}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tallier-kill.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 2

# Enough lines that a run takes a good part of a second to read, write and sync them.
LINES=400000
yes '// padding line of a large generated header' | head -n "$LINES" >padding
PADDING_BYTES=$(stat -c %s padding)
{ cat padding && printf '#define BuildCount 0\n'; } >Version.h

FAILURES=0
fail() {
  echo "FAIL round $round: $*"
  FAILURES=$((FAILURES + 1))
}

# Prints the counter when the header is whole: the padding, then one counter line.
counter_of_whole_header() {
  local tail
  head -c "$PADDING_BYTES" Version.h | cmp -s - padding || return 1
  tail=$(tail -c +"$((PADDING_BYTES + 1))" Version.h)
  [[ $tail =~ ^#define\ BuildCount\ (-?[0-9]+)$ ]] || return 1
  [ "$(stat -c %s Version.h)" -eq $((PADDING_BYTES + ${#tail} + 1)) ] || return 1
  echo "${BASH_REMATCH[1]}"
}

value=0
for round in $(seq "$ROUNDS"); do
  runs=$((RANDOM % 4 + 1))
  victim=$((RANDOM % runs))
  pids=()
  for i in $(seq 0 $((runs - 1))); do
    "$TALLIER" >"out$i" &
    pids+=($!)
  done
  sleep "0.$(printf '%03d' $((RANDOM % 300)))"
  # The shell's notice of a killed job is expected here, not news.
  exec 3>&2 2>/dev/null
  kill -KILL "${pids[$victim]}"
  printed=0
  for i in $(seq 0 $((runs - 1))); do
    if wait "${pids[$i]}"; then
      printed=$((printed + 1))
      grep -qx "Upcount: BuildCount = -\?[0-9]*" "out$i" || fail "run $i succeeded without its value"
    elif [ "$i" -ne "$victim" ]; then
      fail "run $i failed: $(cat "out$i")"
    fi
  done
  exec 2>&3 3>&-
  if ! now=$(counter_of_whole_header); then
    fail "header torn or missing"
    break
  fi
  # The killed run may have given the copy the header's name before it died.
  if [ "$now" -ne $((value + printed)) ] && [ "$now" -ne $((value + printed + 1)) ]; then
    fail "counter $now after $printed successful runs from $value"
  fi
  # Every value printed this round is distinct and lies in the range just passed.
  dupes=$(cat out* | sort | uniq -d)
  [ -z "$dupes" ] || fail "values printed twice: $dupes"
  for v in $(sed -n 's/^Upcount: BuildCount = //p' out*); do
    [ "$v" -gt "$value" ] && [ "$v" -le "$now" ] || fail "value $v printed outside $value..$now"
  done
  value=$now
  rm -f out*
done

"$TALLIER" >out || fail "clean run failed: $(cat out)"
[ "$(counter_of_whole_header)" = $((value + 1)) ] || fail "clean run did not advance from $value"
leftover=$(ls -A | grep -vxE 'padding|out|Version\.h|Version\.bak')
[ -z "$leftover" ] || fail "stray files: $leftover"

echo "kill: $ROUNDS rounds, counter at $((value + 1)), $FAILURES failures"
[ "$FAILURES" -eq 0 ]

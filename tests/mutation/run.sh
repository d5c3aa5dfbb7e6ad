#!/usr/bin/env bash
# Mutation harness: how many realistic faults does the Linux test suite (ctest) catch?
#
# Usage: run.sh CHECKOUT [MUTANT...]
#   CHECKOUT  a Tallier source tree (its tracked and untracked, not ignored files are used;
#             the tree itself is never changed)
#   MUTANT    names or paths of *.patch files in this directory (default: all of them)
#
# The checkout is copied once into a private scratch tree with one build directory; each
# mutant is applied there with `git apply`, built (only the changed file recompiles), tested
# with ctest, and undone. One line per mutant:
#   KILLED    <name>  <file>  by: <failed ctest tests, e2e scripts with their failed cases>
#   SURVIVED  <name>  <file>
#   BUILD-FAIL / APPLY-FAIL <name> <file>
# and a last line "N killed, M survived of K". A mutant that touches only one of the
# Windows platform files (tool/platform_win32*), or whose name starts with win32- (a fault
# that only Windows shows), is built and tested in a Windows tree (ctest under Wine) when
# WINDOWS_TOOLCHAIN names a toolchain file of the checkout (cmake/mingw-x86_64.cmake, say);
# without it, it is only checked to compile with MinGW and counted SURVIVED (windows-only).
#
# Environment: JOBS (build parallelism, default 2), MUTANT_TIMEOUT (seconds for one
# mutant's ctest run, default 600), TEST_TIMEOUT (seconds per ctest test, default 180),
# MUTANT_WORK (scratch directory, default a new one under TMPDIR, removed at the end unless
# KEEP_WORK=1), TESTS (a ctest -R pattern: only the tests it matches run, for the baseline and
# every mutant; default all). Each mutant's build and test log stays in $MUTANT_WORK/logs while
# it exists.
# The Windows tree runs Wine in the caller's WINEPREFIX; give it a scratch one.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 1 ] || [ ! -d "$1" ]; then
  echo "usage: $0 CHECKOUT [MUTANT...]" >&2
  exit 2
fi
CHECKOUT=$(cd "$1" && pwd)
shift
JOBS=${JOBS:-2}
MUTANT_TIMEOUT=${MUTANT_TIMEOUT:-600}
TEST_TIMEOUT=${TEST_TIMEOUT:-180}
SELECTION=()
[ -z "${TESTS:-}" ] || SELECTION=(-R "$TESTS")

PATCHES=()
if [ $# -eq 0 ]; then
  PATCHES=("$HERE"/*.patch)
else
  for m in "$@"; do
    if [ -f "$m" ]; then
      PATCHES+=("$(cd "$(dirname "$m")" && pwd)/$(basename "$m")")
    elif [ -f "$HERE/${m%.patch}.patch" ]; then
      PATCHES+=("$HERE/${m%.patch}.patch")
    else
      echo "no such mutant: $m" >&2
      exit 2
    fi
  done
fi

if [ -n "${MUTANT_WORK:-}" ]; then
  WORK=$MUTANT_WORK
  mkdir -p "$WORK"
else
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/tallier-mutants.XXXXXX")
fi
[ "${KEEP_WORK:-0}" = 1 ] || [ -n "${MUTANT_WORK:-}" ] || trap 'rm -rf "$WORK"' EXIT
SRC=$WORK/src
LOGS=$WORK/logs
mkdir -p "$LOGS"

git_q() { git -C "$SRC" -c user.name=mutants -c user.email=mutants@localhost "$@"; }

# The private copy: the checkout's files as they are now, in a repository of its own so
# that each mutant can be undone exactly.
rm -rf "$SRC"
mkdir -p "$SRC"
if git -C "$CHECKOUT" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$CHECKOUT" && git ls-files -z -co --exclude-standard | tar --null -T - -cf -) |
    (cd "$SRC" && tar -xf -)
else
  (cd "$CHECKOUT" && tar --exclude='./build*' -cf - .) | (cd "$SRC" && tar -xf -)
fi
git_q init -q
git_q add -A
git_q commit -qm base

# build <tree> [cmake options...]
build() {
  local tree=$1
  shift
  cmake -S "$SRC" -B "$SRC/$tree" "$@" && cmake --build "$SRC/$tree" -j"$JOBS"
}
WINDOWS_TREE=""

# Runs ctest in a process group of its own, so that whatever a hung test left behind is
# ended with it; the output goes to $1. A tree without tests (a Windows tree where Wine
# cannot run its programs is configured so) fails, rather than pass every mutant.
run_ctest() {
  local log=$1 tree=${2:-build} pid
  setsid timeout -k 10 "$MUTANT_TIMEOUT" ctest --test-dir "$SRC/$tree" --no-tests=error ${SELECTION[@]+"${SELECTION[@]}"} \
    --timeout "$TEST_TIMEOUT" --output-on-failure >"$log" 2>&1 &
  pid=$!
  wait "$pid"
  local rc=$?
  kill -KILL -- "-$pid" 2>/dev/null
  return "$rc"
}

# Names the tests that failed in a ctest log: ctest's own list, and for each failed script
# the cases it reported with "FAIL [case]" (e2e) or "FAIL round"/"FAIL:" lines.
failed_tests() {
  awk '
    /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / {
      line = $0
      sub(/^.*#[0-9]+: /, "", line)
      split(line, w, " ")
      current = w[1]
      if (line ~ /\*\*\*|Failed|Timeout|Exception|Not Run/) {
        order[++n] = current
        status[current] = line ~ /Timeout/ ? "timeout" : ""
      }
      next
    }
    /^FAIL \[[^]]*\]/ {
      c = $0
      sub(/^FAIL \[/, "", c)
      sub(/\].*/, "", c)
      if (index("," cases[current] ",", "," c ",") == 0)
        cases[current] = cases[current] (cases[current] == "" ? "" : ",") c
    }
    END {
      out = ""
      for (i = 1; i <= n; i++) {
        t = order[i]
        s = t
        if (cases[t] != "") s = s "[" cases[t] "]"
        if (status[t] != "") s = s "(" status[t] ")"
        out = out (i > 1 ? " " : "") s
      }
      print out
    }' "$1"
}

echo "checkout: $CHECKOUT"
echo "scratch:  $WORK"
if ! build build >"$LOGS/baseline.build.log" 2>&1; then
  echo "baseline does not build; see $LOGS/baseline.build.log"
  exit 2
fi
if ! run_ctest "$LOGS/baseline.test.log"; then
  echo "baseline tests fail: $(failed_tests "$LOGS/baseline.test.log"); see $LOGS/baseline.test.log"
  exit 2
fi
echo "baseline: builds, all tests pass"
if [ -n "${WINDOWS_TOOLCHAIN:-}" ]; then
  if ! build build-win -DCMAKE_TOOLCHAIN_FILE="$SRC/$WINDOWS_TOOLCHAIN" >"$LOGS/baseline-win.build.log" 2>&1 ||
    ! run_ctest "$LOGS/baseline-win.test.log" build-win; then
    echo "Windows baseline fails; see $LOGS/baseline-win.*.log"
    exit 2
  fi
  WINDOWS_TREE=build-win
  echo "Windows baseline ($WINDOWS_TOOLCHAIN): builds, all tests pass under Wine"
fi

killed=0
survived=0
other=0
for patch in "${PATCHES[@]}"; do
  name=$(basename "$patch" .patch)
  files=$(grep -E '^\+\+\+ b/' "$patch" | sed 's|^+++ b/||' | paste -sd, -)
  start=$SECONDS
  if ! git_q apply --check "$patch" 2>"$LOGS/$name.apply.log"; then
    printf '%-10s %-42s %s\n' APPLY-FAIL "$name" "$files"
    other=$((other + 1))
    continue
  fi
  git_q apply "$patch"
  tree=build
  if [[ $files == tool/platform_win32* && $files != *,* ]] || [[ $name == win32-* ]]; then
    tree=$WINDOWS_TREE
  fi
  if [ -z "$tree" ]; then
    note="windows-only: not built on Linux"
    if command -v i686-w64-mingw32-g++ >/dev/null; then
      if i686-w64-mingw32-g++ -std=c++17 -fsyntax-only -I"$SRC/tool" "$SRC"/tool/platform_win32_*.cc \
        >"$LOGS/$name.build.log" 2>&1; then
        note="$note; compiles with MinGW"
      else
        note="$note; does NOT compile with MinGW"
      fi
    fi
    printf '%-10s %-42s %-26s (%s)\n' SURVIVED "$name" "$files" "$note"
    survived=$((survived + 1))
  elif ! build "$tree" >"$LOGS/$name.build.log" 2>&1; then
    printf '%-10s %-42s %s\n' BUILD-FAIL "$name" "$files"
    other=$((other + 1))
  elif run_ctest "$LOGS/$name.test.log" "$tree"; then
    printf '%-10s %-42s %-26s %4ds\n' SURVIVED "$name" "$files" $((SECONDS - start))
    survived=$((survived + 1))
  else
    printf '%-10s %-42s %-26s %4ds by: %s\n' KILLED "$name" "$files" $((SECONDS - start)) \
      "$(failed_tests "$LOGS/$name.test.log")"
    killed=$((killed + 1))
  fi
  # Undo the mutant; the restored file is newer than its object, so the next build
  # recompiles it.
  git_q checkout -q -- .
  git_q clean -fdq -e /build/ -e /build-win/
done
echo "$killed killed, $survived survived of $((killed + survived + other))"

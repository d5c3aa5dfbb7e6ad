# Installs Tallier to a scratch prefix and builds projects that use its CMake package:
# the example in examples/, built again and again with each generator, and small projects
# that call tallier_build_counter() the right and the wrong way.
# Usage: bash consumer_test.sh <Tallier's build directory> <Tallier's source directory> [config]
set -u

BUILD_DIR=$1
SOURCE_DIR=$(cd "$2" && pwd)
CONFIG=${3:-Release}
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/tallier-package.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
PREFIX=$SCRATCH/prefix
FAILED=0

GENERATORS=("Unix Makefiles")
command -v ninja >/dev/null && GENERATORS+=(Ninja)

fail() {
  echo "FAIL: $*"
  FAILED=$((FAILED + 1))
}

# build <dir> [args...]: builds, keeping the output in OUT and the status in RC.
build() {
  local dir=$1
  shift
  OUT=$(cmake --build "$dir" --config "$CONFIG" "$@" 2>&1)
  RC=$?
}

# Builds the example in <dir> three times; each build must advance the counter once and
# compile the new value into the program, and recompile only the file that includes it.
check_three_builds() {
  local dir=$1 what=$2 n main_object stamp="" before=$FAILED
  for n in 1 2 3; do
    build "$dir"
    if [ "$RC" -ne 0 ]; then
      fail "$what: build $n failed: $OUT"
      return
    fi
    [ "$("$dir/example")" = "Build $n" ] ||
      fail "$what: build $n printed '$("$dir/example")'"
    grep -qx "#define BuildCount $n" "$dir/counter/Version.h" ||
      fail "$what: header after build $n: $(cat "$dir/counter/Version.h")"
    main_object=$(find "$dir" -name main.cpp.o | head -1)
    if [ -n "$stamp" ] && [ "$(stat -c %Y.%y "$main_object")" != "$stamp" ]; then
      fail "$what: main.cpp was recompiled by build $n"
    fi
    stamp=$(stat -c %Y.%y "$main_object")
  done
  [ "$FAILED" -eq "$before" ] && echo "ok: $what: three builds printed Build 1, 2, 3"
}

tracked_before=$(cd "$SOURCE_DIR/examples" && find . -type f | sort | xargs md5sum)

if ! cmake --install "$BUILD_DIR" --config "$CONFIG" --prefix "$PREFIX" >"$SCRATCH/install.log" 2>&1; then
  cat "$SCRATCH/install.log"
  fail "install"
  exit 1
fi
for file in bin/tallier share/man/man1/tallier.1 lib/cmake/Tallier/TallierConfig.cmake \
  lib/cmake/Tallier/TallierConfigVersion.cmake lib/cmake/Tallier/TallierFunctions.cmake; do
  [ -f "$PREFIX/$file" ] || fail "install: no $file"
done

for generator in "${GENERATORS[@]}"; do
  dir=$SCRATCH/example-${generator// /-}
  if ! cmake -S "$SOURCE_DIR/examples" -B "$dir" -G "$generator" -DCMAKE_BUILD_TYPE="$CONFIG" \
    -DCMAKE_PREFIX_PATH="$PREFIX" >"$SCRATCH/configure.log" 2>&1; then
    fail "$generator: configure: $(cat "$SCRATCH/configure.log")"
    continue
  fi
  check_three_builds "$dir" "find_package, $generator"

  # A counter that cannot be advanced stops the build with the tool's message.
  printf '#define Other 1\n' >"$dir/counter/Version.h"
  build "$dir"
  [ "$RC" -ne 0 ] || fail "$generator: build went on without a counter"
  grep -qx 'Error Tallier name:BuildCount or number not found' <<<"$OUT" ||
    fail "$generator: the tool's message is not in the build's output: $OUT"
  [ "$(cat "$dir/counter/Version.h")" = "#define Other 1" ] ||
    fail "$generator: header changed by a failed build"
done

# Make's clean would delete a header declared as a byproduct, counter and all.
dir=$SCRATCH/example-Unix-Makefiles
printf '#define BuildCount 7\n' >"$dir/counter/Version.h"
build "$dir" --target clean
[ -f "$dir/counter/Version.h" ] || fail "Unix Makefiles: clean deleted the counter's header"

# Tallier built from its sources inside the consuming project.
dir=$SCRATCH/example-subdirectory
if cmake -S "$SOURCE_DIR/examples" -B "$dir" -G "${GENERATORS[-1]}" -DCMAKE_BUILD_TYPE="$CONFIG" \
  -DTALLIER_SOURCE_DIR="$SOURCE_DIR" >"$SCRATCH/configure.log" 2>&1; then
  check_three_builds "$dir" "add_subdirectory, ${GENERATORS[-1]}"
else
  fail "add_subdirectory: configure: $(cat "$SCRATCH/configure.log")"
fi

# The function's arguments: each row is the call, then the text the configure step must
# report, or "ok <file> <expected line>" for a call that must configure and build.
rows=(
  'tallier_build_counter(app)|ok Version.h #define BuildCount 42'
  'tallier_build_counter(app HEADER sub/Counter.h MACRO Patch INCREMENT -2)|ok sub/Counter.h #define Patch 5'
  'tallier_build_counter(app HEADER sub/Counter.h INCREMENT 7x)|INCREMENT must be an integer'
  'tallier_build_counter(app HEADER sub/Counter.h MACRO)|MACRO needs a value'
  'tallier_build_counter(app HEADER sub/Counter.h Patch)|unexpected arguments: Patch'
  'tallier_build_counter(nothing)|no target named nothing'
  'tallier_build_counter(app HEADER sub/Counter.h)
   add_custom_target(other)
   tallier_build_counter(other HEADER ${CMAKE_CURRENT_SOURCE_DIR}/sub/../sub/Counter.h)|already advanced for app'
)
index=0
for row in "${rows[@]}"; do
  index=$((index + 1))
  project=$SCRATCH/call-$index
  mkdir -p "$project/sub"
  printf '#define Patch 7\n' >"$project/sub/Counter.h"
  printf '#define BuildCount 41\n' >"$project/Version.h"
  printf 'cmake_minimum_required(VERSION 3.20)\nproject(call NONE)\nfind_package(Tallier REQUIRED)\nadd_custom_target(app ALL)\n%s\n' \
    "${row%%|*}" >"$project/CMakeLists.txt"
  expected=${row##*|}
  OUT=$(cmake -S "$project" -B "$project/build" -DCMAKE_PREFIX_PATH="$PREFIX" 2>&1)
  RC=$?
  if [ "${expected%% *}" = ok ]; then
    read -r _ file line <<<"$expected"
    [ "$RC" -eq 0 ] || { fail "call $index: configure: $OUT"; continue; }
    build "$project/build"
    [ "$RC" -eq 0 ] || fail "call $index: build: $OUT"
    [ "$(cat "$project/$file")" = "$line" ] || fail "call $index: $file holds $(cat "$project/$file")"
  else
    [ "$RC" -ne 0 ] || { fail "call $index: configured, expected '$expected'"; continue; }
    grep -qF "$expected" <<<"$(tr -s ' \n' '  ' <<<"$OUT")" || fail "call $index: '$expected' not in: $OUT"
  fi
done

[ "$(cd "$SOURCE_DIR/examples" && find . -type f | sort | xargs md5sum)" = "$tracked_before" ] ||
  fail "building the example changed files in examples/"

echo "package consumer test: $FAILED failed"
[ "$FAILED" -eq 0 ]

# Installs Tallier to a scratch prefix and builds a copy of examples/ with one build system:
# each build must print the next number and compile that same number into the program, and
# a clean must lose nothing. With "calls" instead of a build system: Tallier built inside the
# consuming project, and tallier_build_counter() called the right and the wrong way.
# Usage: bash consumer_test.sh <Tallier's build directory> <Tallier's source directory> <config>
#   <Unix Makefiles | Ninja | Ninja Multi-Config | Meson | calls>
# Exits with 77, counted as skipped, when the build system is not installed.
set -u

BUILD_DIR=$1 SOURCE_DIR=$(cd "$2" && pwd) CONFIG=$3 SYSTEM=$4
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/tallier-package.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
PREFIX=$SCRATCH/prefix SRC=$SCRATCH/src
FAILED=0

for tool in $(case $SYSTEM in Ninja*) echo ninja ;; Meson) echo meson ninja ;; esac); do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool not found"; exit 77; }
done

fail() {
  echo "FAIL: $*"
  FAILED=$((FAILED + 1))
}

# run <command...>: runs it, keeping the output in OUT and the status in RC.
run() {
  OUT=$("$@" 2>&1)
  RC=$?
}

# configure <source> <build> [cmake options...]
configure() {
  if [ "$SYSTEM" = Meson ]; then
    run meson setup "$2" "$1"
  else
    run cmake -S "$1" -B "$2" -G "${SYSTEM/calls/Unix Makefiles}" -DCMAKE_BUILD_TYPE="$CONFIG" "${@:3}"
  fi
  [ "$RC" -eq 0 ] || fail "configure $1: $OUT"
}

# build <dir> [target]
build() {
  if [ "$SYSTEM" = Meson ]; then
    run ninja -C "$1" ${2:+"$2"}
  else
    run cmake --build "$1" --config "$CONFIG" ${2:+--target "$2"}
  fi
}

# Builds the example in $SCRATCH/build five times, with a clean after the third; each build
# must print the next number, compile it into the program and recompile only the file that
# includes the counter; the clean must leave every source file in place.
check_builds() {
  local step=0 printed program stamp="" sources
  sources=$(cd "$SRC" && find . -type f | sort)
  for action in build build build clean build build; do
    if [ "$action" = clean ]; then
      build "$SCRATCH/build" clean
      [ "$RC" -eq 0 ] && [ "$(cd "$SRC" && find . -type f ! -name Version.bak | sort)" = "$sources" ] ||
        fail "clean: $OUT; sources left: $(cd "$SRC" && find . -type f)"
      stamp=""
      continue
    fi
    step=$((step + 1))
    build "$SCRATCH/build"
    [ "$RC" -eq 0 ] || { fail "build $step: $OUT"; return; }
    printed=$(sed -n 's/.*Upcount: BuildCount = //p' <<<"$OUT")
    program=$(find "$SCRATCH/build" -name example -type f -perm -u+x)
    [ "$printed" = "$step" ] && [ "$("$program")" = "Build $step" ] ||
      fail "build $step printed '$printed', the program '$("$program")'"
    main_object=$(find "$SCRATCH/build" -name main.cpp.o)
    [ -z "$stamp" ] || [ "$(stat -c %y "$main_object")" = "$stamp" ] ||
      fail "main.cpp was recompiled by build $step"
    stamp=$(stat -c %y "$main_object")
  done
}

run cmake --install "$BUILD_DIR" --config "$CONFIG" --prefix "$PREFIX"
[ "$RC" -eq 0 ] || { fail "install: $OUT"; exit 1; }
export PATH=$PREFIX/bin:$PATH
cp -r "$SOURCE_DIR/examples" "$SRC"

if [ "$SYSTEM" != calls ]; then
  configure "$SRC" "$SCRATCH/build" -DCMAKE_PREFIX_PATH="$PREFIX"
  check_builds
  # A counter that cannot be advanced (one that would still compile) stops the build with
  # the tool's message and stays as it was.
  printf '#define BuildCount 2147483647\n' >"$SRC/counter/Version.h"
  build "$SCRATCH/build"
  [ "$RC" -ne 0 ] && grep -qx 'Error Tallier name:BuildCount number out of range' <<<"$OUT" ||
    fail "a build that could not advance the counter: status $RC: $OUT"
  [ "$(cat "$SRC/counter/Version.h")" = "#define BuildCount 2147483647" ] ||
    fail "header changed by a failed build"
  echo "$SYSTEM: $FAILED failed"
  exit $((FAILED > 0))
fi

configure "$SRC" "$SCRATCH/build" -DTALLIER_SOURCE_DIR="$SOURCE_DIR"
check_builds

# The function's arguments: each row is the call, then the text the configure step must
# report, or "ok <file> <expected line>" for a call whose two builds, with a clean between
# them, must leave that line in the file.
rows=(
  'tallier_build_counter(app)|ok build/app_counter/Version.h #define BuildCount 2'
  'tallier_build_counter(app HEADER sub/Counter.h MACRO Patch INCREMENT -2)|ok sub/Counter.h #define Patch 3'
  'tallier_build_counter(app HEADER sub/Counter.h INCREMENT 7x)|INCREMENT must be an integer'
  'tallier_build_counter(app HEADER sub/Counter.h MACRO)|MACRO needs a value'
  'tallier_build_counter(app HEADER sub/Counter.h Patch)|unexpected arguments: Patch'
  'tallier_build_counter(nothing)|no target named nothing'
  'tallier_build_counter(app HEADER sub/Counter.h)
   add_custom_target(other)
   tallier_build_counter(other HEADER ${CMAKE_CURRENT_SOURCE_DIR}/sub/../sub/Counter.h)|already advanced for app'
  'tallier_build_counter(app)
   set_property(TARGET app PROPERTY SOURCES main.cpp)|Version.h sits beside'
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
  run cmake -S "$project" -B "$project/build" -DCMAKE_PREFIX_PATH="$PREFIX"
  if [ "${expected%% *}" = ok ]; then
    read -r _ file line <<<"$expected"
    [ "$RC" -eq 0 ] || { fail "call $index: configure: $OUT"; continue; }
    for target in all clean all; do
      build "$project/build" "$target"
      [ "$RC" -eq 0 ] || fail "call $index: build $target: $OUT"
    done
    grep -qx "$line" "$project/$file" || fail "call $index: $file holds $(cat "$project/$file")"
  else
    [ "$RC" -ne 0 ] || { fail "call $index: configured, expected '$expected'"; continue; }
    grep -qF "$expected" <<<"$(tr -s ' \n' '  ' <<<"$OUT")" || fail "call $index: '$expected' not in: $OUT"
  fi
done

echo "calls: $FAILED failed"
[ "$FAILED" -eq 0 ]

# Installs Tallier to a scratch prefix, off PATH, and builds a copy of examples/ with one
# build system (CMake's generators, Meson, or make with its own Makefile): each build must
# print the next number and compile that same number into the program, and a clean must lose
# nothing; with Ninja and Ninja Multi-Config, a counter that only Release builds advance is
# left alone and compiled by Debug builds; with CMake's generators, in a unity build, two build
# trees of the same sources built at once and the package target too. With "calls" instead of
# a build system: Tallier built inside the consuming project, and tallier_build_counter()
# called the right and the wrong way.
# Usage: bash consumer_test.sh <Tallier's build directory> <Tallier's source directory> <config>
#   <Unix Makefiles | Ninja | Ninja Multi-Config | Meson | make | calls>
# Exits with 77, counted as skipped, when the build system is not installed.
. "$(dirname "$0")/lib.sh"
SYSTEM=$4 CONFIG=$3
SRC=$SCRATCH/src BUILD=$SCRATCH/build PREFIX=$SCRATCH/prefix
case $SYSTEM in Unix* | make) require make ;; Ninja*) require ninja ;; Meson) require meson ninja ;; esac

# run <command...>: keeps the output in OUT and the status in RC.
run() { OUT=$("$@" 2>&1) && RC=0 || RC=$?; }
# printed <output>: the number a build printed. ran <dir>: what the program built there says.
# main_object: the time of main.cpp's object.
printed() { sed -n 's/.*Upcount: BuildCount = //p' <<<"$1"; }
ran() { "$(find "$1" -name example -type f -perm -u+x)"; }
main_object() { stat -c %y "$(find "$BUILD" -name main.o -o -name main.cpp.o -o -name 'unity_*.o')"; }

# build <dir> [target]
build() {
  case $SYSTEM in
    Meson) run ninja -C "$1" ${2:+"$2"} ;;
    make) run make -C "$1" TALLIER="$PREFIX/bin/tallier" ${2:+"$2"} ;;
    *) run ${AS-} cmake --build "$1" --config "$CONFIG" ${2:+--target "$2"} ;;
  esac
}

# Five builds with a clean after the third: each prints the next number, compiles it into
# the program and recompiles only the file that includes the counter; the clean leaves every
# source file in place.
check_builds() {
  local step=0 action stamp="" sources
  sources=$(cd "$SRC" && find . -type f | sort)
  for action in build build build clean build build; do
    build "$BUILD" "${action/build/}"
    [ "$RC" -eq 0 ] || fail "$action after build $step: $OUT"
    if [ "$action" = clean ]; then
      check "sources after clean" "$(cd "$SRC" && find . -type f ! -name Version.bak ! -name Version.lock | sort)" "$sources"
      stamp=""
      continue
    fi
    step=$((step + 1))
    check "build $step printed, then ran" "$(printed "$OUT"); $(ran "$BUILD")" "$step; Build $step"
    [ -z "$stamp" ] || check "main.o after build $step" "$(main_object)" "$stamp"
    stamp=$(main_object) || fail "no object of main.cpp after build $step"
  done
}

run cmake --install "$1" --config "$CONFIG" --prefix "$PREFIX"
[ "$RC" -eq 0 ] || { fail "install: $OUT"; exit 1; }
[ ! -e "$PREFIX/share/lintian" ] || fail "the .deb's lintian overrides installed into $PREFIX"
cp -r "$2/examples" "$SRC"

if [ "$SYSTEM" != calls ]; then
  case $SYSTEM in
    Meson)
      printf "[binaries]\ntallier = '%s'\n" "$PREFIX/bin/tallier" >"$SCRATCH/native.ini"
      run meson setup "$BUILD" "$SRC" --native-file "$SCRATCH/native.ini" ;;
    make) BUILD=$SRC RC=0 ;;
    *) for tree in "$BUILD" "$SCRATCH/other"; do
        [ "$RC" -ne 0 ] || run cmake -S "$SRC" -B "$tree" -G "$SYSTEM" -DCMAKE_BUILD_TYPE="$CONFIG" \
          -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_UNITY_BUILD=ON
      done ;;
  esac
  [ "$RC" -eq 0 ] || fail "configure: $OUT"
  check_builds
  # Two trees built at once, each compiles the number it printed; a package, the number its
  # build printed (with Makefiles cpack builds again before it packs).
  # The tool lingers after it advances, so that without the lock the other tree's run would
  # come between this one and its copy.
  if [ -d "$SCRATCH/other" ]; then
    mv "$PREFIX/bin/tallier" "$PREFIX/bin/tallier.real"
    printf '#!/bin/sh\n"$0.real" "$@" || exit\nsleep 1\n' >"$PREFIX/bin/tallier" && chmod +x "$PREFIX/bin/tallier"
    for round in 1 2 3; do
      (build "$SCRATCH/other"; printed "$OUT" >"$SCRATCH/printed") & build "$BUILD"; wait
      check "round $round of two trees" "$(ran "$BUILD"); $(ran "$SCRATCH/other")" \
        "Build $(printed "$OUT"); Build $(cat "$SCRATCH/printed")"
    done
    mv "$PREFIX/bin/tallier.real" "$PREFIX/bin/tallier"
    packed() { tar -xzf "$BUILD"/*.tar.gz -O --wildcards '*/bin/example' >"$SCRATCH/pkg" && chmod +x "$SCRATCH/pkg" && "$SCRATCH/pkg"; }
    build "$BUILD" package && number=$(printed "$OUT") && check "the package target" "$(packed)" "Build $number"
    # The other tree advances the counter, once, before cpack packs this one.
    build "$SCRATCH/other" && (cd "$BUILD" && run cpack -C "$CONFIG")
    check "the other tree, then cpack" "$(printed "$OUT"); $(packed)" "$((number + 1)); Build $number"
  fi
  # A counter that cannot be advanced (a directory takes its copy's name, status 1; one that
  # would still compile, status 2) stops the build with the tool's message and stays as it was.
  mkdir "$SRC/counter/Version.new"
  for error in "Can't open: .*Version.new for writing" "name:BuildCount number out of range"; do
    build "$BUILD"
    [ "$RC" -ne 0 ] && grep -q "^Error Tallier $error$" <<<"$OUT" || fail "a build that could not advance the counter: status $RC: $OUT"
    rmdir "$SRC/counter/Version.new" 2>/dev/null; printf '#define BuildCount 2147483647\n' >"$SRC/counter/Version.h"
  done
  check "counter after a failed build" "$(cat "$SRC/counter/Version.h")" "#define BuildCount 2147483647"
  # Nor does make delete it when the recipe fails after the counter changed.
  if [ "$SYSTEM" = make ]; then
    printf '.DELETE_ON_ERROR:\n' >>"$SRC/Makefile"
    run make -C "$SRC" TALLIER="sh -c 'touch \$\$0; exit 1'"
    [ "$RC" -ne 0 ] && [ -f "$SRC/counter/Version.h" ] || fail "a failed recipe under .DELETE_ON_ERROR: $OUT"
  fi
  # As tallier_build_counter() does, Meson's build refuses a counter beside a source.
  if [ "$SYSTEM" = Meson ]; then
    cp "$SRC/counter/Version.h" "$SRC/Version.h"
    run meson setup "$SCRATCH/beside" "$SRC" --native-file "$SCRATCH/native.ini"
    [ "$RC" -ne 0 ] && grep -q 'Version.h sits beside main.cpp' <<<"$OUT" || fail "a counter beside main.cpp: $OUT"
  fi
  # A counter that only release builds advance (Release named second): Debug builds compile it
  # as it stands.
  if [[ $SYSTEM == Ninja* ]]; then
    printf '#define BuildCount 41\n' >"$SRC/counter/Version.h" && number=41
    sed -i 's|HEADER counter/Version.h|& CONFIGURATIONS RelWithDebInfo Relase|' "$SRC/CMakeLists.txt"
    # Ninja Multi-Config knows every configuration: a misspelt one stops the configuration.
    [ "$SYSTEM" = Ninja ] || { run cmake -S "$SRC" -B "$BUILD" && [ "$RC" -ne 0 ] && grep -q Relase <<<"$OUT" || fail "Relase: $OUT"; }
    sed -i 's/ Relase/ Release/' "$SRC/CMakeLists.txt"
    # Debug builds, which only copy the counter, need not write counter/: here they may not (as
    # root, they run as user 1234, the build tree theirs meanwhile).
    rm -f "$SRC/counter/Version.lock" && chmod a-w "$SRC/counter" && chmod o+x "$SCRATCH"
    for CONFIG in Debug Debug Debug Release Release Release; do
      [ "$CONFIG" = Debug ] && printed="" || printed=$((++number))
      run cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=$CONFIG
      AS="" && [ "$CONFIG" = Release ] && chmod u+w "$SRC/counter"
      [ "$CONFIG" = Debug ] && [ "$(id -u)" -eq 0 ] && chown -R 1234 "$BUILD" && AS="setpriv --reuid=1234 --regid=1234 --clear-groups"
      build "$BUILD"
      check "$CONFIG build printed, then ran" "$(printed "$OUT"); $(
        "$BUILD/$([ "$SYSTEM" = Ninja ] || echo "$CONFIG/")example")" "$printed; Build $number"
    done
    # One build of every configuration at once advances the counter once for each release one.
    if [ "$SYSTEM" = "Ninja Multi-Config" ]; then
      run cmake -S "$SRC" -B "$BUILD" -DCMAKE_CROSS_CONFIGS=all && build "$BUILD" all:all
      check "a build of all configurations" "$RC; $(cat "$SRC/counter/Version.h")" "0; #define BuildCount $((number + 2))"
    fi
  fi
  finish "$SYSTEM"; exit
fi

# An include directory of the target's own, named before the counter, with a file named like
# it: the build's copy must still be the one compiled.
mkdir "$SRC/decoy" && printf '#define BuildCount -1\n' >"$SRC/decoy/Version.h"
sed -i '/^tallier_build_counter/i target_include_directories(example PRIVATE decoy)' "$SRC/CMakeLists.txt"
run cmake -S "$SRC" -B "$BUILD" -DTALLIER_SOURCE_DIR="$(cd "$2" && pwd)" -DCMAKE_BUILD_TYPE="$CONFIG"
check_builds

# The call | what configuring must report, or "ok <file> <line>" for a call whose two builds,
# with a clean and a new configure between them, must leave that line in the file.
while IFS='|' read -r call expected; do
  project=$(mktemp -d "$SCRATCH/call.XXXXXX") && mkdir "$project/sub"
  printf '#define Patch 7\n' >"$project/sub/Counter.h"
  printf '#define BuildCount 41\n' >"$project/Version.h"
  # A project for another architecture than the tool's (pointers of the other size) still
  # finds the package: it runs the tool and links nothing of it.
  printf 'cmake_minimum_required(VERSION 3.20)\nproject(call C)\nset(CMAKE_SIZEOF_VOID_P %s)\nfind_package(Tallier REQUIRED)\nfile(WRITE ${CMAKE_BINARY_DIR}/m.c "int main(void) { return 0; }")\nadd_executable(app ${CMAKE_BINARY_DIR}/m.c)\n%s\n' \
    $((12 - $(getconf LONG_BIT) / 8)) "${call//;/$'\n'}" >"$project/CMakeLists.txt"
  run cmake -S "$project" -B "$project/build" -DCMAKE_PREFIX_PATH="$PREFIX"
  if [ "${expected%% *}" != ok ]; then
    # A row that "warns" configures; every other row is refused.
    [ $((RC != 0)) = "$([[ $expected == warns* ]] && echo 0 || echo 1)" ] && grep -qF "${expected#warns }" <<<"$(tr -s ' \n' '  ' <<<"$OUT")" || fail "$call: $OUT"
    continue
  fi
  read -r _ file line <<<"$expected"
  for target in all clean configure all; do
    [ $target = configure ] && run cmake "$project/build" || build "$project/build" "$target"
  done
  [ "$RC" -eq 0 ] && grep -qx "$line" "$project/$file" || fail "$call: $OUT; $file holds $(cat "$project/$file")"
done <<'EOF'
tallier_build_counter(app)|ok build/app_counter/Version.h #define BuildCount 2
set(CMAKE_BUILD_TYPE Profile);tallier_build_counter(app HEADER sub/Counter.h MACRO Patch INCREMENT -2 CONFIGURATIONS profile)|ok sub/Counter.h #define Patch 3
set(CMAKE_BUILD_TYPE debug);tallier_build_counter(app HEADER sub/Counter.h CONFIGURATIONS Release Relase)|warns names Relase, which is no configuration of this build; the known ones are Debug, Release, RelWithDebInfo, MinSizeRel.
tallier_build_counter(app HEADER sub/Counter.h CONFIGURATIONS "${UNSET}")|CONFIGURATIONS names an empty configuration
add_library(info INTERFACE);tallier_build_counter(info HEADER sub/Counter.h)|info is an imported, INTERFACE or custom target
add_executable(tool IMPORTED);tallier_build_counter(tool)|tool is an imported, INTERFACE or custom target
add_custom_target(other);tallier_build_counter(other)|other is an imported, INTERFACE or custom target
file(WRITE ${CMAKE_CURRENT_SOURCE_DIR}/sub/V.lock "");tallier_build_counter(app HEADER sub/V.lock)|named like the lock file
include(CPack);tallier_build_counter(app)|include(CPack) comes before it
tallier_build_counter(app HEADER sub/Counter.h INCREMENT 7x)|INCREMENT must be an integer
tallier_build_counter(app HEADER sub/Missing.h MACRO Patch)|Missing.h does not exist; create it holding the line #define Patch 0
tallier_build_counter(app HEADER sub/Counter.h);add_executable(other ${CMAKE_BINARY_DIR}/m.c);tallier_build_counter(other HEADER ${CMAKE_CURRENT_SOURCE_DIR}/sub/../sub/Counter.h)|already advanced for app
tallier_build_counter(app);set_property(TARGET app PROPERTY SOURCES main.cpp)|Version.h sits beside
file(WRITE ${CMAKE_CURRENT_SOURCE_DIR}/sub/info.h "");tallier_build_counter(app HEADER sub/Counter.h)|holds info.h beside the counter
tallier_build_counter(app HEADER sub/Counter.h);include_directories(BEFORE sub)|comes before the copy
target_precompile_headers(app PRIVATE <stdio.h> sub/Counter.h);tallier_build_counter(app HEADER sub/Counter.h)|the precompiled headers of app name the counter Counter.h
tallier_build_counter(app);target_precompile_headers(app PRIVATE ${CMAKE_BINARY_DIR}/app_counter/include/Version.h)|the precompiled headers of app name
file(WRITE ${CMAKE_BINARY_DIR}/o.c "#include \"Counter.h\"\n#if Patch < 8\n#error stale\n#endif\n");add_library(obj OBJECT ${CMAKE_BINARY_DIR}/o.c);add_library(x::obj ALIAS obj);tallier_build_counter(x::obj HEADER sub/Counter.h MACRO Patch);target_include_directories(obj PRIVATE sub)|ok sub/Counter.h #define Patch 9
EOF

finish calls

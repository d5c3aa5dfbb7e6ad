# Makes the .deb from a Linux build and checks it with lintian (no error, and no warning but
# those overridden with a reason: a missing copyright, changelog or man page is one), installs
# it with apt-get, runs the tool from PATH, builds a copy of the example against its CMake
# package, and removes it. Needs root (it skips without): CI runs it.
# Usage: bash deb_test.sh <Tallier's build directory> <Tallier's source directory>
. "$(dirname "$0")/lib.sh"
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root: installs and removes the package"; exit 77; }
SOURCE_DIR=$(cd "$2" && pwd)
trap 'dpkg -s tallier >/dev/null 2>&1 && apt-get remove -y -qq tallier >/dev/null; rm -rf "$SCRATCH"' EXIT

cpack -G DEB -B "$SCRATCH/out" --config "$1/CPackConfig.cmake" >"$SCRATCH/log" 2>&1 || fail "cpack: $(cat "$SCRATCH/log")"
deb=$(ls "$SCRATCH"/out/tallier_*.deb) || exit 1
lintian --fail-on error,warning "$deb" >"$SCRATCH/log" 2>&1 || fail "lintian: $(cat "$SCRATCH/log")"
depends=$(dpkg-deb -f "$deb" Depends) && [ -z "$depends" ] || fail "the static tool's package depends on: $depends"

apt-get install -y -qq "$deb" >"$SCRATCH/log" 2>&1 || fail "apt-get install: $(cat "$SCRATCH/log")"
cd "$SCRATCH" && printf '#define BuildCount 41\n' >Version.h
[ "$(env PATH=/usr/bin:/bin tallier)" = "Upcount: BuildCount = 42" ] &&
  [ "$(cat Version.h)" = "#define BuildCount 42" ] || fail "tallier from PATH: $(cat Version.h)"
# The package is found in /usr without any hint; the example advances the counter it keeps
# in its sources, so a copy is built.
cp -r "$SOURCE_DIR/examples" src
cmake -S src -B example >log 2>&1 && cmake --build example >>log 2>&1 &&
  [ "$(example/example)" = "Build 1" ] || fail "example against the package: $(cat log)"
apt-get remove -y -qq tallier >/dev/null && [ ! -e /usr/bin/tallier ] || fail "apt-get remove"

finish "deb test"

# Makes the .deb from a Linux build, checks it with lintian, installs it with apt-get, runs
# the tool from PATH and builds the example against the installed package, then removes the
# package again.
# Needs root and a machine whose installed packages may change: CI runs it.
# Usage: bash deb_test.sh <Tallier's build directory> <Tallier's source directory>
set -u

BUILD_DIR=$(cd "$1" && pwd)
SOURCE_DIR=$(cd "$2" && pwd)
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/tallier-deb.XXXXXX")
FAILED=0

fail() {
  echo "FAIL: $*"
  FAILED=$((FAILED + 1))
}

cleanup() {
  dpkg -s tallier >/dev/null 2>&1 && apt-get remove -y -qq tallier >/dev/null
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

if ! cpack -G DEB -B "$SCRATCH/out" --config "$BUILD_DIR/CPackConfig.cmake" >"$SCRATCH/cpack.log" 2>&1; then
  cat "$SCRATCH/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb=$(ls "$SCRATCH"/out/tallier_*.deb)
echo "package: $(basename "$deb")"

listing=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for file in ./usr/bin/tallier ./usr/share/man/man1/tallier.1.gz \
  ./usr/share/doc/tallier/copyright ./usr/share/doc/tallier/changelog.gz \
  ./usr/lib/cmake/Tallier/TallierConfig.cmake ./usr/lib/cmake/Tallier/TallierConfigVersion.cmake \
  ./usr/lib/cmake/Tallier/TallierTargets.cmake ./usr/lib/cmake/Tallier/TallierFunctions.cmake; do
  grep -qxF "$file" <<<"$listing" || fail "the package holds no $file"
done
# Debian's package checker: no error and no warning, but those overridden with a reason in
# the package's lintian overrides.
if ! command -v lintian >/dev/null; then
  fail "lintian not found"
elif ! lintian --fail-on error,warning "$deb" >"$SCRATCH/lintian.log" 2>&1; then
  fail "lintian: $(cat "$SCRATCH/lintian.log")"
fi
# Every shared library the packaged program loads must come from a declared dependency (a
# statically linked program loads none).
depends=$(dpkg-deb -f "$deb" Depends)
dpkg-deb -x "$deb" "$SCRATCH/unpacked"
for library in $(objdump -p "$SCRATCH/unpacked/usr/bin/tallier" | awk '/NEEDED/ {print $2}'); do
  case $library in
    libstdc++*) package=libstdc++6 ;;
    libgcc_s*) package=libgcc-s1 ;;
    *) package=libc6 ;;
  esac
  grep -q "$package" <<<"$depends" || fail "$library loaded, but Depends names no $package: $depends"
done

if ! apt-get install -y -qq "$deb" >"$SCRATCH/apt.log" 2>&1; then
  cat "$SCRATCH/apt.log"
  echo "FAIL: apt-get install"
  exit 1
fi

mkdir "$SCRATCH/run" && cd "$SCRATCH/run" || exit 1
printf '#define BuildCount 41\n' >Version.h
out=$(env PATH=/usr/bin:/bin tallier)
[ "$out" = "Upcount: BuildCount = 42" ] || fail "tallier from PATH printed: $out"
[ "$(cat Version.h)" = "#define BuildCount 42" ] || fail "header after the run: $(cat Version.h)"

# The package is found in /usr without any hint. The example advances the counter it keeps
# in its sources: build a copy.
cp -r "$SOURCE_DIR/examples" "$SCRATCH/example-src"
if cmake -S "$SCRATCH/example-src" -B "$SCRATCH/example" >"$SCRATCH/configure.log" 2>&1 &&
  cmake --build "$SCRATCH/example" >"$SCRATCH/build.log" 2>&1; then
  [ "$("$SCRATCH/example/example")" = "Build 1" ] ||
    fail "example built against the package printed: $("$SCRATCH/example/example")"
else
  cat "$SCRATCH/configure.log" "$SCRATCH/build.log"
  fail "example against the package"
fi

apt-get remove -y -qq tallier >/dev/null || fail "apt-get remove"
[ ! -e /usr/bin/tallier ] || fail "/usr/bin/tallier is still there after removal"

echo "deb test: $FAILED failed"
[ "$FAILED" -eq 0 ]

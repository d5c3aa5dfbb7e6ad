# Makes a skipped test, or a skipped part of a test, show in the last lines of a ctest run,
# with what it needs, so that it is not taken for a pass; in CI (CI set), where everything is
# installed, a skip fails the run, but for a part that needs root when run by another user:
# CI runs the tests as root too. ctest empties <dir> before the tests and reports after them.
# Usage: bash skips.sh run <dir> <test> <script> [arguments...]: runs the test script and
#          keeps its SKIP lines in <dir>/<test>; it skips as a whole with status 77
#        bash skips.sh report <dir> <Tallier's sources>
if [ "$1" = run ]; then
  mkdir -p "$2" && file=$2/$3 && shift 3
  bash "$@" 2>&1 | tee "$file"
  status=${PIPESTATUS[0]}
  sed -i -n 's/^SKIP: //p' "$file" && [ -s "$file" ] || rm -f "$file"
  exit "$status"
fi
[ -n "$(ls -A "$2" 2>/dev/null)" ] || exit 0
skips=$(cd "$2" && grep -r '' . | sed 's|^\./|  |; s|:|: |')
printf 'Skipped, not passed:\n%s\n' "$skips"
grep -q ': needs root: ' <<<"$skips" && echo "Run the tests as root too for those that need root."
grep -qv ': needs root: ' <<<"$skips" || exit 0
# shellcheck disable=SC2046  # the package names, one line
echo "The tests need these Debian and Ubuntu packages (.ci/install-packages tests installs them):" \
  $(sed -n '1,/^tests: /s/^[a-z]*: //p' "$3/.ci/packages")
[ -z "${CI:-}" ] || [ "$CI" = false ] || { echo "In CI every test must run."; exit 1; }

# Makes a skipped test show in the last lines of a ctest run, with what to install, so that
# it is not taken for a pass; in CI (CI set), where everything is installed, a skip fails
# the run. ctest empties <dir> before the tests and reports after them.
# Usage: bash skips.sh run <dir> <test> <script> [arguments...]: runs the test script and,
#          when it skips (status 77), keeps its SKIP line in <dir>/<test>
#        bash skips.sh report <dir> <Tallier's sources>
if [ "$1" = run ]; then
  mkdir -p "$2" && file=$2/$3 && shift 3
  bash "$@" 2>&1 | tee "$file"
  status=${PIPESTATUS[0]}
  [ "$status" -eq 77 ] && sed -i -n 's/^SKIP: //p' "$file" || rm -f "$file"
  exit "$status"
fi
[ -n "$(ls -A "$2" 2>/dev/null)" ] || exit 0
printf 'Skipped, not passed:\n%s\n' "$(cd "$2" && grep -r '' . | sed 's|^\./|  |; s|:|: |')"
# shellcheck disable=SC2046  # the package names, one line
echo "The tests need these Debian and Ubuntu packages (.ci/install-packages tests installs them):" \
  $(sed -n '1,/^tests: /s/^[a-z]*: //p' "$3/.ci/packages")
[ -z "${CI:-}" ] || [ "$CI" = false ] || { echo "In CI every test must run."; exit 1; }

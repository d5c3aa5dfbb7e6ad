# Makes a skipped test show in the last lines of a ctest run, with what to install, so that
# it is not taken for a pass; in CI (CI set), where everything is installed, a skip fails
# the run. ctest empties <dir> before the tests and reports after them.
# Usage: bash skips.sh run <dir> <test> <script> [arguments...]: runs the test script and,
#          when it skips (status 77), keeps its SKIP line in <dir>/<test>
#        bash skips.sh report <dir> <Tallier's sources>
dir=$2
if [ "$1" = run ]; then
  name=$3
  shift 3
  mkdir -p "$dir"
  bash "$@" 2>&1 | tee "$dir/$name"
  status=${PIPESTATUS[0]}
  [ "$status" -eq 77 ] && sed -i -n 's/^SKIP: //p' "$dir/$name" || rm -f "$dir/$name"
  exit "$status"
fi
[ -n "$(ls -A "$dir" 2>/dev/null)" ] || exit 0
echo "Skipped, not passed:"
for file in "$dir"/*; do
  echo "  ${file##*/}: $(cat "$file")"
done
# shellcheck disable=SC2046  # the package names, one line
echo "The tests need these Debian and Ubuntu packages (.ci/install-packages tests installs them):" \
  $(sed -n '1,/^tests: /s/^[a-z]*: //p' "$3/.ci/packages")
[ -z "${CI:-}" ] || [ "$CI" = false ] || { echo "In CI every test must run."; exit 1; }

# Shared helpers of the package tests: failed checks are counted, and a missing tool skips
# the test.
set -u
FAILED=0 SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/tallier-package.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
fail() { echo "FAIL: $*"; FAILED=$((FAILED + 1)); }
check() { [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"; }

# Ends the test as skipped (status 77, which CTest is told to count so) when one of the given
# tools is missing.
require() { for tool; do command -v "$tool" >/dev/null || { echo "SKIP: $tool not found"; exit 77; }; done; }

# Says how many checks failed under the given name; fails when any did.
finish() { echo "$1: $FAILED failed"; [ "$FAILED" -eq 0 ]; }

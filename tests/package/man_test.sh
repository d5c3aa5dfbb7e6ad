# The man page must render without a single warning.
# Usage: bash man_test.sh <man page>
command -v groff >/dev/null || { echo "SKIP: groff not found"; exit 77; }
out=$(groff -man -ww -z "$1" 2>&1)
status=$?
printf '%s\n' "$out"
[ "$status" -eq 0 ] && [ -z "$out" ]

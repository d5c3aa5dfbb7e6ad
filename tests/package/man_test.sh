# The man page must render without a single warning.
# Usage: bash man_test.sh <groff> <man page>
out=$("$1" -man -ww -z "$2" 2>&1)
status=$?
printf '%s\n' "$out"
[ "$status" -eq 0 ] && [ -z "$out" ]

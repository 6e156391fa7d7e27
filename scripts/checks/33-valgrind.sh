#!/usr/bin/env bash
# Valgrind memcheck over the link tests (the transaction, its read and deadline, time-outs,
# hang-ups) in the already-built tree: any memory error or any block not freed at exit fails
# the check. About 10 s.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

status=0
timeout 600 valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --show-leak-kinds=all --errors-for-leak-kinds=all --track-origins=yes \
  "$build/tests/link_tests" > "$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 80 "$log"
  echo "valgrind memcheck: link_tests failed (exit $status)"
  exit 1
fi
grep -E '^\[  PASSED  \]' "$log"
grep -E 'ERROR SUMMARY|All heap blocks were freed|definitely lost' "$log" | sed 's/^==[0-9]*== //'

#!/usr/bin/env bash
# Valgrind memcheck in the already-built tree over the link tests (the transaction, its write
# and read and their deadlines, time-outs, hang-ups, a stalled line) and over the C interface's
# motor-info calls (a record straight from malloc must only be written, never read): any memory
# error or any block not freed at exit fails the check. About 15 s.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

run() {
  local name=$1
  shift
  local status=0
  timeout 600 valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --show-leak-kinds=all --errors-for-leak-kinds=all --track-origins=yes \
    "$@" > "$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 80 "$log"
    echo "valgrind memcheck: $name failed (exit $status)"
    exit 1
  fi
  grep -E '^\[  PASSED  \]|^\[  OK  \]' "$log" | sed "s/^/$name: /"
  grep -E 'ERROR SUMMARY|All heap blocks were freed|definitely lost' "$log" |
    sed "s/^==[0-9]*== /$name: /"
}

run link_tests "$build/tests/link_tests"
# Valgrind's own operator new displaces the test's failing one, so the out-of-memory case
# cannot run under it; the record case is the one that matters here.
run c_interface_test "$build/tests/c/c_interface_test" "motor info"

#!/usr/bin/env bash
# The API reference builds from the public headers with no doxygen warning: every public
# function, type, value and member documented, every parameter and result named, every
# reference resolved. Then every man page the build made (from the programs' --help) has
# EXAMPLES, ENVIRONMENT and a SEE ALSO naming the other pages. Takes a few seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

targets=$(cmake --build "$build" --target help)
if ! grep -qw docs <<< "$targets"; then
  echo "15-docs: $build has no target docs: doxygen was not found when it was configured" \
    "(scripts/packages/docs.txt)" >&2
  exit 1
fi
status=0
cmake --build "$build" --target docs > "$log" 2>&1 || status=$?
# The target fails on a warning by itself (WARN_AS_ERROR); the log is read as well, so that a
# doxygen that only reports one still fails the check.
if [ "$status" -ne 0 ] || grep -qE ": (warning|error): " "$log"; then
  cat "$log" >&2
  echo "15-docs: FAIL: the API reference has warnings (exit status $status)" >&2
  exit 1
fi
[ -s "$build/docs/html/index.html" ] || { echo "15-docs: no $build/docs/html/index.html" >&2; exit 1; }
echo "15-docs: API reference built without a warning: $build/docs/html/index.html"

pages=(attenuatorctl attenuator-sim attenuator-tango attenuator-gui)
found=0
for page in "${pages[@]}"; do
  file=$(find "$build/tools" -path "*/man/$page.1.gz" -print -quit)
  if [ -z "$file" ]; then
    echo "15-docs: no man page $page.1.gz in $build/tools (help2man, python3-tango missing?)" >&2
    exit 1
  fi
  text=$(gzip -dc "$file")
  for section in '.SH EXAMPLES' '.SH ENVIRONMENT' '.SH "SEE ALSO"'; do
    grep -qxF "$section" <<< "$text" || { echo "15-docs: $page(1) has no $section" >&2; exit 1; }
  done
  see_also=$(sed -n '/^\.SH "SEE ALSO"/,/^\.SH/p' <<< "$text")
  for other in "${pages[@]}"; do
    [ "$other" = "$page" ] || grep -qxF ".BR $other (1)," <<< "$see_also" ||
      { echo "15-docs: $page(1) does not name $other(1) under SEE ALSO" >&2; exit 1; }
  done
  found=$((found + 1))
done
echo "15-docs: $found man pages with EXAMPLES, ENVIRONMENT and SEE ALSO naming each other"

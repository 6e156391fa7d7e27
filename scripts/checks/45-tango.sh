#!/usr/bin/env bash
# The Tango device server: pytest (tests/tango) drives attenuator-tango from the build tree,
# each test with its own simulator and its own server in file-database mode on a free port of
# the loopback (about 25 s); then the Tango benchmark's quick run (a few seconds), whose figures
# are not judged here, on a shared machine. Packages: scripts/packages/tango.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

launcher=$BUILD_DIR/tools/tango/attenuator-tango
[ -x "$launcher" ] || { echo "45-tango: no server at $launcher (TORVEK_BUILD_TANGO=OFF?)" >&2; exit 1; }
/usr/bin/python3 -c 'import tango' 2> /dev/null \
  || { echo "45-tango: python3-tango missing (scripts/packages/tango.txt)" >&2; exit 1; }
unset TORVEK_ATTENUATOR_LIBRARY

# /usr/bin/python3 is the interpreter that has Debian's tango module, whatever else PATH holds.
started=$(date +%s)
PYTHONPATH=$BUILD_DIR/python timeout 900 /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  -W ignore::DeprecationWarning --junitxml="$work/report.xml" "$root/tests/tango"
/usr/bin/python3 "$root/scripts/lib/pytest_report.py" "$work/report.xml" 45-tango 25
/usr/bin/python3 "$root/bench/tango_bench.py" --build "$BUILD_DIR" --quick > "$work/bench.log" 2>&1 \
  || { cat "$work/bench.log"; echo "45-tango: the benchmark's quick run failed" >&2; exit 1; }
grep -E "added by the server|^ *median " "$work/bench.log" | sed 's/^ */45-tango bench (not judged here): /'
echo "45-tango: $(($(date +%s) - started)) s"

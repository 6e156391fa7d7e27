#!/usr/bin/env bash
# The Python package: pytest against attenuator-sim from the build tree (about 18 s, 6 of them the
# calibration's), then the scan and calibration examples from an installed copy of the package,
# which must find the installed library without help (a few seconds), and where an install to
# /usr/local puts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
sim=${ATTENUATOR_SIM:-$BUILD_DIR/tools/sim/attenuator-sim}
work=$(mktemp -d)
# shellcheck source=../lib/simulator.sh
source "$root/scripts/lib/simulator.sh"
cleanup() {
  stop_simulator
  rm -rf "$work"
}
trap cleanup EXIT

[ -x "$sim" ] || { echo "40-python: no simulator at $sim" >&2; exit 1; }
command -v pytest-3 > /dev/null || { echo "40-python: pytest-3 missing (python3-pytest)" >&2; exit 1; }
unset TORVEK_ATTENUATOR_LIBRARY
# Debian's interpreter, which has the Debian packages the calibration needs (numpy, scipy,
# matplotlib): a python3 earlier on PATH (pyenv, a virtualenv) may not.
python=${TORVEK_PYTHON:-/usr/bin/python3}
export ATTENUATOR_SIM=$sim

# pytest's own exit code already fails on errors and on "no tests collected" (5); the report
# also catches a run that skipped its way to green.
PYTHONPATH=$BUILD_DIR/python timeout 900 pytest-3 -q -p no:cacheprovider \
  --junitxml="$work/report.xml" "$root/tests/python"
"$python" "$root/scripts/lib/pytest_report.py" "$work/report.xml" 40-python 40

cmake --install "$BUILD_DIR" --prefix "$work/prefix" > /dev/null
# Under a prefix other than /usr the package goes where python3 would look for that prefix
# (lib/python3.X/...), found here by its location rather than by asking python3 again.
package=$(find "$work/prefix" -path '*/torvek_attenuator/__init__.py' -print -quit)
[ -n "$package" ] || { echo "40-python: cmake --install installed no Python package" >&2; exit 1; }
start_simulator 40-python --baud 0 --speed 0
installed=$(dirname "$(dirname "$package")")
(cd "$work" && PYTHONPATH="$installed" \
  timeout 120 "$python" "$root/examples/scan.py" "$port" --min-angle 10 --span 90 --points 11) \
  | tee "$work/scan.out"
rows=$(grep -cE '^ *[01]\.[0-9]{3} ' "$work/scan.out")
[ "$rows" -eq 11 ] || { echo "40-python: scan printed $rows rows, expected 11" >&2; exit 1; }
echo "40-python: examples/scan.py ran from the installed package"

# The calibration example and the command line on the readings it wrote, both installed.
(cd "$work" && PYTHONPATH="$installed" \
  timeout 120 "$python" "$root/examples/calibrate.py" "$port" --plot "$work/fit.png" \
  --csv "$work/readings.csv" && PYTHONPATH="$installed" \
  timeout 60 "$python" -m torvek_attenuator.calibrate "$work/readings.csv" --json) \
  | tee "$work/calibrate.out"
"$python" - "$work/calibrate.out" "$work/fit.png" << 'PY'
import json
import sys
lines = open(sys.argv[1]).read().splitlines()
fitted = json.loads(lines[-1])
# The example's meter: min angle 14.2, span 87.5, 1 % noise over 81 readings.
if abs(fitted["min_angle"] - 14.2) > 1 or abs(fitted["angle_span"] - 87.5) > 1:
    sys.exit(f"40-python: the calibration found {fitted}")
if open(sys.argv[2], "rb").read(8) != b"\x89PNG\r\n\x1a\n":
    sys.exit("40-python: examples/calibrate.py drew no PNG")
PY
echo "40-python: examples/calibrate.py and the calibrate command ran from the installed package"

# Installed to the default prefix /usr/local, the package lands where Debian's python3 looks
# (staged under DESTDIR, so nothing is written to /usr/local).
if [ "$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$BUILD_DIR/CMakeCache.txt")" = /usr/local ] &&
  [ -x /usr/bin/python3 ]; then
  looks=$(/usr/bin/python3 -c 'import site
print(*[p for p in site.getsitepackages() if p.startswith("/usr/local/")][:1])')
  DESTDIR="$work/destdir" cmake --install "$BUILD_DIR" --component python > /dev/null
  [ -n "$looks" ] && [ -f "$work/destdir$looks/torvek_attenuator/__init__.py" ] || {
    echo "40-python: installed to /usr/local, the package is not in $looks:" >&2
    find "$work/destdir" -name __init__.py >&2
    exit 1
  }
  echo "40-python: installed to /usr/local, the package is in $looks, where python3 looks"
fi

#!/usr/bin/env bash
# The window attenuator-gui: installs the build tree into a scratch prefix, as `cmake --install`
# does for users, and runs tests/gui (pytest-qt) on that installed copy: its package, its
# launcher, and the attenuator-sim and attenuatorctl installed beside it. The tests run under
# Xvfb (xvfb-run), on the X platform users have: Esc acts on the active window as on a desktop,
# and the clipboard is X's. Also validates the desktop entry. 13 to 17 s. Installs nothing:
# the packages come from scripts/packages/gui.txt (install-deps.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$SECONDS

fail() {
  echo "48-gui: $*" >&2
  exit 1
}
for tool in xvfb-run xauth desktop-file-validate; do
  command -v "$tool" > /dev/null || fail "$tool is missing (scripts/packages/gui.txt)"
done
/usr/bin/python3 -c 'import PyQt5.QtWidgets, pyqtgraph, pytestqt' 2> /dev/null ||
  fail "python3-pyqt5, python3-pyqtgraph or python3-pytestqt missing (scripts/packages/gui.txt)"
[ -x "$BUILD_DIR/tools/gui/attenuator-gui" ] ||
  fail "no launcher at $BUILD_DIR/tools/gui/attenuator-gui (TORVEK_BUILD_GUI=OFF?)"
unset TORVEK_ATTENUATOR_LIBRARY TORVEK_ATTENUATOR_TRACE

prefix=$work/prefix
cmake --install "$BUILD_DIR" --prefix "$prefix" > /dev/null
package=$(find "$prefix" -path '*/torvek_attenuator/gui/__init__.py' -print -quit)
[ -n "$package" ] || fail "cmake --install installed no torvek_attenuator.gui"
installed=$(dirname "$(dirname "$(dirname "$package")")")
desktop-file-validate "$prefix/share/applications/attenuator-gui.desktop" ||
  fail "the desktop entry is not valid"
[ -f "$prefix/share/icons/hicolor/scalable/apps/attenuator-gui.svg" ] || fail "no icon installed"

# Settings, caches and Qt's runtime directory in the scratch directory: whatever the window
# would write to the default settings path shows up there, and fails the check.
mkdir -p "$work/config" "$work/cache" "$work/runtime"
chmod 700 "$work/runtime"
export XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/runtime
export ATTENUATOR_GUI=$prefix/bin/attenuator-gui ATTENUATOR_SIM=$prefix/bin/attenuator-sim
export ATTENUATORCTL=$prefix/bin/attenuatorctl
PYTHONPATH=$installed timeout 600 xvfb-run -a -s "-screen 0 1280x1024x24" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider --junitxml="$work/report.xml" "$root/tests/gui"
/usr/bin/python3 "$root/scripts/lib/pytest_report.py" "$work/report.xml" 48-gui 25 \
  "pytest-qt tests passed on the installed window"
[ ! -e "$work/config/torvek-attenuator" ] ||
  fail "the tests wrote to the default settings path: $(find "$work/config/torvek-attenuator")"
echo "48-gui: $((SECONDS - started)) s"

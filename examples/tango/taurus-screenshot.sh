#!/usr/bin/env bash
# Makes docs/tango-taurus-form.png: a Taurus form on the TorvekAttenuator device, under Xvfb,
# against attenuator-sim and attenuator-tango from the build tree (file-database mode). The
# mount starts at 45 degrees; the form's own write field then asks for transmittance 0.25.
# Packages: xvfb python3-taurus xauth (not in CI). About 20 s.
#   bash examples/tango/taurus-screenshot.sh [OUTPUT.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
output=${1:-$root/docs/tango-taurus-form.png}
work=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[$i]}" 2> /dev/null || true
    wait "${pids[$i]}" 2> /dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/sim/attenuator-sim" --baud 0 --speed 0 --position 17920 --link "$work/ttyATT0" \
  > "$work/sim.out" 2> /dev/null &
pids+=($!)
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/devices.db" << DB
attenuator-tango/demo/DEVICE/TorvekAttenuator: lab/attenuator/1
lab/attenuator/1->Port: $work/ttyATT0
lab/attenuator/1->MinAngle: 0
lab/attenuator/1->AngleSpan: 90
DB
for _ in $(seq 100); do [ -e "$work/ttyATT0" ] && break; sleep 0.1; done
(cd "$work" && exec "$build/tools/tango/attenuator-tango" demo -file="$work/devices.db" \
  -ORBendPoint "giop:tcp:127.0.0.1:$port" > "$work/server.log" 2>&1) &
pids+=($!)
# Asks the server (its admin device answers a ping) rather than reading its log.
PYTHONPATH=$build/python /usr/bin/python3 -m torvek_attenuator_tango.ready demo \
  --address "127.0.0.1:$port" --timeout 60 --pid "${pids[-1]}" || { cat "$work/server.log"; exit 1; }

display=:$((90 + RANDOM % 400))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)

# The form `taurus form MODEL...` builds (taurus.qt.qtgui.panel.TaurusForm), given a size, since
# Xvfb has no window manager to give it one, and saved as a picture once the values are in.
# Taurus 5.0 drops "#dbase=no" from attribute names: its own scheme tango-nodb:// keeps it.
DISPLAY=$display timeout 120 /usr/bin/python3 - "tango-nodb://127.0.0.1:$port/lab/attenuator/1" \
  "$output" << 'PY'
import sys

from taurus.external.qt import Qt
from taurus.qt.qtgui.application import TaurusApplication
from taurus.qt.qtgui.panel import TaurusForm

device, output = sys.argv[1], sys.argv[2]
app = TaurusApplication(cmd_line_parser=None, app_name="attenuator-screenshot")
form = TaurusForm()
form.setModel([f"{device}/{name}" for name in (
    "State", "Position", "Steps", "Transmittance", "DeviceStatusCode", "HomeOffset")])
form.setWindowTitle("taurus form lab/attenuator/1")
form.resize(640, 300)
form.show()


def write() -> None:
    # What a person does: type 0.25 in Transmittance's write field and press Enter.
    for item in form.getItems():
        if item.getModelName().endswith("/Transmittance"):
            item.writeWidget().setValue(0.25)
            item.writeWidget().writeValue()


def save() -> None:
    if not form.grab().save(output):
        sys.exit(f"cannot write {output}")
    app.quit()


Qt.QTimer.singleShot(5000, write)
Qt.QTimer.singleShot(9000, save)
app.exec_()
PY
echo "wrote $output"

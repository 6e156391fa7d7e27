#!/usr/bin/env bash
# The Tango server as a lab runs it: a Tango database (Debian's tango-db, DataBaseds on MariaDB)
# on TANGO_HOST=localhost:10000, the installed attenuator-tango registered with tango_admin,
# and a client that reaches the device by its name. Everything is started here and stopped
# on exit: a private MariaDB in a scratch directory (the machine's own is left alone),
# DataBaseds, the simulator and the server. About 15 s.
# Packages: scripts/packages/tango.txt (tango-db's database is preseeded off, see
# tango.debconf: the schema is made here from the package's own SQL).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
sim=${ATTENUATOR_SIM:-$BUILD_DIR/tools/sim/attenuator-sim}
tango_port=${TANGO_DB_PORT:-10000}
started=$(date +%s)
work=$(mktemp -d)
chmod 755 "$work"   # MariaDB runs as mysql and must reach its directory
# shellcheck source=../lib/simulator.sh
source "$root/scripts/lib/simulator.sh"
# shellcheck source=../lib/tango_database.sh
source "$root/scripts/lib/tango_database.sh"
pids=()
# The server first, then the database server, then MariaDB under it.
trap 'stop_started $?' EXIT
fail() { echo "46-tango-database: $*" >&2; exit 1; }

for program in mariadbd mariadb-install-db mariadb /usr/lib/tango/DataBaseds tango_admin; do
  command -v "$program" > /dev/null || fail "$program missing (scripts/packages/tango.txt)"
done
[ -x "$sim" ] || fail "no simulator at $sim"
if (exec 3<> "/dev/tcp/127.0.0.1/$tango_port") 2> /dev/null; then
  fail "port $tango_port is taken: another Tango database runs here (TANGO_DB_PORT=... to move)"
fi

start_tango_database "$tango_port"

# The server from an installed copy, registered as the README says.
cmake --install "$BUILD_DIR" --prefix "$work/prefix" > /dev/null
start_simulator 46-tango-database --baud 0 --speed 0 --link "$work/ttyATT0"
tango_admin --add-server attenuator-tango/lab TorvekAttenuator lab/attenuator/1
tango_admin --add-property lab/attenuator/1 Port "$work/ttyATT0"
tango_admin --add-property lab/attenuator/1 TimeoutMs 2000
tango_admin --add-property lab/attenuator/1 MinAngle 10
tango_admin --add-property lab/attenuator/1 AngleSpan 90
(cd "$work" && exec "$work/prefix/bin/attenuator-tango" lab -ORBendPoint giop:tcp:127.0.0.1: \
  > "$work/server.log" 2>&1) &
pids+=($!)
tango_admin --ping-device lab/attenuator/1 30 || fail "lab/attenuator/1 did not start"

# A client by the device's name: state ON, a move seen through change events, the
# properties from the database in effect.
timeout 60 /usr/bin/python3 - << 'PY'
import queue
import time

import tango

device = tango.DeviceProxy("lab/attenuator/1")
deadline = time.monotonic() + 30
while device.state() == tango.DevState.INIT and time.monotonic() < deadline:
    time.sleep(0.05)
assert device.state() == tango.DevState.ON, device.status()
events = queue.Queue()
subscription = device.subscribe_event(
    "State", tango.EventType.CHANGE_EVENT, lambda e: events.put(None if e.err else e.attr_value.value))
assert events.get(timeout=10) == tango.DevState.ON
device.Transmittance = 0.5
seen = [events.get(timeout=30), events.get(timeout=30)]
assert seen == [tango.DevState.MOVING, tango.DevState.ON], seen
assert device.Steps == 21902, device.Steps  # the model MinAngle 10, AngleSpan 90 from the database
device.unsubscribe_event(subscription)
print(f"46-tango-database: {device.name()} via TANGO_HOST: state {device.state()}, "
      f"Steps {device.Steps}, Transmittance {device.Transmittance:.5f}")
PY
echo "46-tango-database: passed in $(($(date +%s) - started)) s"

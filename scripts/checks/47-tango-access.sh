#!/usr/bin/env bash
# Tango's access control in front of the attenuator, switched on as the README's "Who may move
# it" says: a private MariaDB and DataBaseds (as 46-tango-database.sh), Debian's
# TangoAccessControl started before it is registered as the database's service, everybody
# read-only on lab/att/* and the server's admin devices, the user running the check (root in CI)
# with write there. Then the installed attenuator-tango on lab/att/1 declares the commands a
# read-only client may run, the writer moves, and a second Unix user (created here if missing,
# removed again if so) reads everything, is refused every write and every command but State,
# Status and Stop, and stops a move the writer started. Access control is switched off again,
# and everything started or made here is stopped and removed on exit. 10 to 32 s, as busy as
# the machine is.
# Packages: scripts/packages/tango.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
sim=${ATTENUATOR_SIM:-$BUILD_DIR/tools/sim/attenuator-sim}
reader=${TANGO_ACCESS_READER:-torvek-reader}
started=$(date +%s)
fail() { echo "47-tango-access: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "runs as root: MariaDB runs as mysql, and a client as $reader"
for program in mariadbd mariadb-install-db mariadb /usr/lib/tango/DataBaseds \
  /usr/lib/tango/TangoAccessControl tango_admin setpriv useradd userdel; do
  command -v "$program" > /dev/null || fail "$program missing (scripts/packages/tango.txt)"
done
[ -x "$sim" ] || fail "no simulator at $sim"
# A client that has it set skips the access check altogether.
unset SUPER_TANGO

work=$(mktemp -d)
# MariaDB (as mysql) and the reader reach their directories in it; nobody lists it.
chmod 711 "$work"
created_user=
# shellcheck source=../lib/simulator.sh
source "$root/scripts/lib/simulator.sh"
# shellcheck source=../lib/tango_database.sh
source "$root/scripts/lib/tango_database.sh"
pids=()
# The server first, then the access control and database servers, then MariaDB under them.
cleanup() {
  stop_started "$1"
  [ -z "$created_user" ] || userdel "$created_user" || true
}
trap 'cleanup $?' EXIT

if ! id -u "$reader" > /dev/null 2>&1; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$reader"
  created_user=$reader
fi
[ "$(id -u "$reader")" -ne 0 ] || fail "$reader is root"

# MariaDB, private, with its default (strict) sql_mode; DataBaseds on a free port of its own,
# so that 46-tango-database.sh may run beside it.
start_tango_database "$(free_port)"
[[ $(sql -N -e 'SELECT @@GLOBAL.sql_mode') == *STRICT_TRANS_TABLES* ]] ||
  fail "MariaDB's sql_mode is not strict: the trap this check shows is not there"

# tango_admin --tac-enabled exits with 1 when access control is on, 0 when it is off.
tac_enabled() {
  local status=0
  tango_admin --tac-enabled > /dev/null || status=$?
  echo "$status"
}
# Ready when its admin device answers and it has declared what read-only clients may run (at
# the end of its start-up), or kept the site's own list.
start_server() {
  (cd "$work" && exec "$work/prefix/bin/attenuator-tango" lab \
    -ORBendPoint giop:tcp:127.0.0.1: > "$work/server.log" 2>&1) &
  server_pid=$!
  pids+=("$server_pid")
  PYTHONPATH=$BUILD_DIR/python /usr/bin/python3 -m torvek_attenuator_tango.ready lab \
    --pid "$server_pid" --timeout 30 || fail "attenuator-tango did not start"
  for _ in $(seq 300); do
    [ -n "$(allowed)" ] && return 0
    sleep 0.1
  done
  fail "attenuator-tango declared no AllowedAccessCmd"
}
allowed() {
  /usr/bin/python3 -c 'import tango
held = tango.Database().get_class_property("TorvekAttenuator", ["AllowedAccessCmd"])
print(" ".join(held["AllowedAccessCmd"]))'
}
# 1. The access control server (tango-db's schema registers it as TangoAccessControl/1),
# running before the database names it as its service.
"${database[@]}" /usr/lib/tango/TangoAccessControl 1 -ORBendPoint giop:tcp:127.0.0.1: \
  > "$work/accesscontrol.log" 2>&1 &
pids+=($!)
tango_admin --ping-device sys/access_control/1 30 || fail "TangoAccessControl did not start"

# 2. Its commands fail under the strict sql_mode until its tables' timestamps have a default.
/usr/bin/python3 - << 'PY'
import tango
try:
    tango.DeviceProxy("sys/access_control/1").AddDeviceForUser(["*", "lab/att/*", "read"])
except tango.DevFailed as err:
    assert err.args[0].reason == "AC_SQLError", err
    print(f"47-tango-access: before the remedy: {err.args[0].reason}: {err.args[0].desc}")
else:
    raise AssertionError("AddDeviceForUser worked under the strict sql_mode")
PY
for table in access_device access_address; do
  sql tango -e "ALTER TABLE $table MODIFY updated TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP"
done

# 3. Rights: everybody reads the attenuators and their servers, the writer moves them.
WRITER=$(id -un) /usr/bin/python3 - << 'PY'
import os
import tango
tac = tango.DeviceProxy("sys/access_control/1")
for user, rights in (("*", "read"), (os.environ["WRITER"], "write")):
    for devices in ("lab/att/*", "dserver/attenuator-tango/*"):
        tac.AddDeviceForUser([user, devices, rights])
PY

# 4. Access control on.
/usr/bin/python3 -c 'import tango; tango.DeviceProxy("sys/access_control/1").RegisterService()'
[ "$(tac_enabled)" -eq 1 ] || fail "tango_admin --tac-enabled answered $(tac_enabled), not 1 (on)"

# The server, registered and started with access control on, from an installed copy.
cmake --install "$BUILD_DIR" --prefix "$work/prefix" > /dev/null
start_simulator 47-tango-access --baud 0 --speed 14336 --link "$work/ttyATT0"
tango_admin --add-server attenuator-tango/lab TorvekAttenuator lab/att/1
tango_admin --add-property lab/att/1 Port "$work/ttyATT0"
start_server

# The clients; the reader's runs from a copy in a directory that it can read.
mkdir -m 755 "$work/reader"
install -m 644 "$root/scripts/lib/tango_access_client.py" "$work/reader/"
timeout 120 /usr/bin/python3 "$work/reader/tango_access_client.py" writer "$reader"

# A site's own list stays as it is at the next start.
/usr/bin/python3 -c 'import tango
tango.Database().put_class_property("TorvekAttenuator", {"AllowedAccessCmd": ["State", "Status"]})'
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
[ "$status" -eq 0 ] || fail "attenuator-tango did not end cleanly on SIGTERM (exit status $status)"
pids=("${pids[@]:0:${#pids[@]}-1}")
start_server
[ "$(allowed)" = "State Status" ] || fail "the server replaced the site's list: $(allowed)"

# Access control off, as the README says; the database goes with the scratch directory.
/usr/bin/python3 -c 'import tango; tango.DeviceProxy("sys/access_control/1").UnregisterService()'
[ "$(tac_enabled)" -eq 0 ] || fail "tango_admin --tac-enabled answered $(tac_enabled) when off"
echo "47-tango-access: passed in $(($(date +%s) - started)) s"

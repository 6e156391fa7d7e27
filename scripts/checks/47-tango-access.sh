#!/usr/bin/env bash
# Tango's access control in front of the attenuator, switched on as the README's "Who may move
# it" says: a private MariaDB and DataBaseds (as 46-tango-database.sh), Debian's
# TangoAccessControl started before it is registered as the database's service, everybody
# read-only on lab/att/* and the server's admin devices, the user running the check (root in CI)
# with write there. Then the installed attenuator-tango on lab/att/1 declares the commands a
# read-only client may run, the writer moves, and a second Unix user (created here if missing,
# removed again if so) reads everything, is refused every write and every command but State,
# Status and Stop, and stops a move the writer started. Access control is switched off again,
# and everything started or made here is stopped and removed on exit. 13 to 32 s, as busy as
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
pids=()
cleanup() {
  local status=$?
  stop_simulator
  # The server first, then the access control and database servers, then MariaDB under them.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[$i]}" 2> /dev/null || true
    wait "${pids[$i]}" 2> /dev/null || true
  done
  if [ "$status" -ne 0 ]; then
    for log in "$work"/*.log; do echo "--- $log"; tail -n 30 "$log"; done
  fi
  rm -rf "$work"
  [ -z "$created_user" ] || userdel "$created_user" || true
}
trap cleanup EXIT

if ! id -u "$reader" > /dev/null 2>&1; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$reader"
  created_user=$reader
fi
[ "$(id -u "$reader")" -ne 0 ] || fail "$reader is root"

# MariaDB, private, with its default (strict) sql_mode; DataBaseds on a free port of its own,
# so that 46-tango-database.sh may run beside it.
free_port() {
  /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}
db_port=$(free_port)
tango_port=$(free_port)
mkdir "$work/mysql" "$work/run"
chown mysql:mysql "$work/mysql" "$work/run"
mariadb-install-db --no-defaults --user=mysql --datadir="$work/mysql" --skip-test-db \
  > "$work/install-db.log" 2>&1 || fail "mariadb-install-db failed"
mariadbd --no-defaults --user=mysql --datadir="$work/mysql" --socket="$work/run/mysqld.sock" \
  --port="$db_port" --bind-address=127.0.0.1 --skip-name-resolve \
  --pid-file="$work/run/mysqld.pid" > "$work/mariadbd.log" 2>&1 &
pids+=($!)
sql() { mariadb --no-defaults --socket="$work/run/mysqld.sock" -uroot "$@"; }
for _ in $(seq 150); do
  sql -e 'SELECT 1' > /dev/null 2>&1 && break
  kill -0 "${pids[0]}" 2> /dev/null || break
  sleep 0.2
done
sql -e 'SELECT 1' > /dev/null || fail "MariaDB did not start"
password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
sql -e "CREATE DATABASE tango; CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY '$password';
        GRANT ALL PRIVILEGES ON tango.* TO 'tango'@'127.0.0.1';"
sql tango < /usr/share/dbconfig-common/data/tango-db/install/mysql
[[ $(sql -N -e 'SELECT @@GLOBAL.sql_mode') == *STRICT_TRANS_TABLES* ]] ||
  fail "MariaDB's sql_mode is not strict: the trap this check shows is not there"

export TANGO_HOST=localhost:$tango_port
# tango_admin --tac-enabled exits with 1 when access control is on, 0 when it is off.
tac_enabled() {
  local status=0
  tango_admin --tac-enabled > /dev/null || status=$?
  echo "$status"
}
# The server declares what read-only clients may run before it says it is ready (PyTango's
# line, which stays in Python's buffer unless PYTHONUNBUFFERED is set).
start_server() {
  (cd "$work" && PYTHONUNBUFFERED=1 exec "$work/prefix/bin/attenuator-tango" lab \
    -ORBendPoint giop:tcp:127.0.0.1: > "$work/server.log" 2>&1) &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 300); do
    grep -q "^Ready to accept request" "$work/server.log" && return 0
    kill -0 "$server_pid" 2> /dev/null || break
    sleep 0.1
  done
  fail "attenuator-tango did not start"
}
allowed() {
  /usr/bin/python3 -c 'import tango
held = tango.Database().get_class_property("TorvekAttenuator", ["AllowedAccessCmd"])
print(" ".join(held["AllowedAccessCmd"]))'
}
database=(env MYSQL_HOST="127.0.0.1:$db_port" MYSQL_USER=tango MYSQL_PASSWORD="$password"
          MYSQL_DATABASE=tango)
"${database[@]}" /usr/lib/tango/DataBaseds 2 -ORBendPoint "giop:tcp:127.0.0.1:$tango_port" \
  > "$work/databaseds.log" 2>&1 &
pids+=($!)
tango_admin --ping-database 30 || fail "DataBaseds did not answer on $TANGO_HOST"

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
wait "$server_pid" || fail "attenuator-tango did not end cleanly on SIGTERM"
pids=("${pids[@]:0:${#pids[@]}-1}")
start_server
[ "$(allowed)" = "State Status" ] || fail "the server replaced the site's list: $(allowed)"

# Access control off, as the README says; the database goes with the scratch directory.
/usr/bin/python3 -c 'import tango; tango.DeviceProxy("sys/access_control/1").UnregisterService()'
[ "$(tac_enabled)" -eq 0 ] || fail "tango_admin --tac-enabled answered $(tac_enabled) when off"
echo "47-tango-access: passed in $(($(date +%s) - started)) s"

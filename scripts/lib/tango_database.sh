# A Tango database for the checks that need one, started by them and gone with them: a private
# MariaDB in the check's scratch directory (the machine's own is left alone) with tango-db's
# schema made from the package's own SQL, as dbconfig-common would make it, and DataBaseds on
# the loopback. The caller has: $work (which the mysql user can reach), the array pids (what to
# stop on exit, last first), fail MESSAGE, and scripts/lib/simulator.sh sourced.

# Stops what the check started (the simulator, then the servers in `pids`, last first), shows
# their logs when the check failed (`status` not 0), and removes $work.
stop_started() {
  local status=$1 i
  stop_simulator
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[$i]}" 2> /dev/null || true
    wait "${pids[$i]}" 2> /dev/null || true
  done
  if [ "$status" -ne 0 ]; then
    for log in "$work"/*.log; do echo "--- $log"; tail -n 30 "$log"; done
  fi
  rm -rf "$work"
}

# A free TCP port of the loopback.
free_port() {
  /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# MariaDB as root on the scratch socket.
sql() { mariadb --no-defaults --socket="$work/run/mysqld.sock" -uroot "$@"; }

# start_tango_database PORT: MariaDB with the tango schema and its user, then DataBaseds on
# 127.0.0.1:PORT. Sets db_port, exports TANGO_HOST, and leaves in the array `database` the
# environment a Tango server of that database (DataBaseds, TangoAccessControl) is started with.
start_tango_database() {
  local tango_port=$1 password mariadb_pid
  db_port=$(free_port)
  mkdir "$work/mysql" "$work/run"
  chown mysql:mysql "$work/mysql" "$work/run"
  mariadb-install-db --no-defaults --user=mysql --datadir="$work/mysql" --skip-test-db \
    > "$work/install-db.log" 2>&1 || fail "mariadb-install-db failed"
  mariadbd --no-defaults --user=mysql --datadir="$work/mysql" --socket="$work/run/mysqld.sock" \
    --port="$db_port" --bind-address=127.0.0.1 --skip-name-resolve \
    --pid-file="$work/run/mysqld.pid" > "$work/mariadbd.log" 2>&1 &
  mariadb_pid=$!
  pids+=("$mariadb_pid")
  for _ in $(seq 150); do
    sql -e 'SELECT 1' > /dev/null 2>&1 && break
    kill -0 "$mariadb_pid" 2> /dev/null || break
    sleep 0.2
  done
  sql -e 'SELECT 1' > /dev/null || fail "MariaDB did not start"

  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  sql -e "CREATE DATABASE tango; CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY '$password';
          GRANT ALL PRIVILEGES ON tango.* TO 'tango'@'127.0.0.1';"
  sql tango < /usr/share/dbconfig-common/data/tango-db/install/mysql

  # The database device as the Debian service starts it.
  database=(env MYSQL_HOST="127.0.0.1:$db_port" MYSQL_USER=tango MYSQL_PASSWORD="$password"
            MYSQL_DATABASE=tango)
  export TANGO_HOST=localhost:$tango_port
  "${database[@]}" /usr/lib/tango/DataBaseds 2 -ORBendPoint "giop:tcp:127.0.0.1:$tango_port" \
    > "$work/databaseds.log" 2>&1 &
  pids+=($!)
  tango_admin --ping-database 30 || fail "DataBaseds did not answer on $TANGO_HOST"
}

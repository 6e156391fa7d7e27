# Sourced by the checks that drive attenuator-sim. They set `sim` (the program) and `work` (a
# scratch directory) first.
#   start_simulator NAME OPTION...  starts it in the background with OPTION..., waits at most
#                                   10 s for the pty path it prints first and sets `port`;
#                                   NAME prefixes the message when it prints none
#   stop_simulator                  ends it, if it runs

sim_pid=

start_simulator() {
  local name=$1
  shift
  "$sim" "$@" > "$work/sim.out" 2> "$work/sim.err" &
  sim_pid=$!
  port=
  for _ in $(seq 100); do
    port=$(head -n 1 "$work/sim.out")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "$name: the simulator printed no port" >&2
  cat "$work/sim.err" >&2
  exit 1
}

stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2> /dev/null || true
    wait "$sim_pid" 2> /dev/null || true
    sim_pid=
  fi
}

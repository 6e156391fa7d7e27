#!/usr/bin/env bash
# attenuatorctl --port against attenuator-sim running as a process of its own, the way a user
# runs them: the port read from the simulator's first line of output, the tour through its
# --link symlink, the faults a host sees as exit codes, a Ctrl-C that stops a move, the line
# unplugged and plugged back in, a USB adapter's latency. About 17 s.
set -uo pipefail
sim=$1
ctl=$2
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/expect.sh"

# start_sim NAME ARGS...: runs attenuator-sim, waits for its first line; sets port and sim_pid.
start_sim() {
  local name=$1
  shift
  "$sim" "$@" > "$work/$name.out" 2> "$work/$name.err" &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 100); do
    [[ -s $work/$name.out ]] && break
    sleep 0.1
  done
  port=$(head -n 1 "$work/$name.out")
  [[ -n $port ]] || { echo "FAIL: attenuator-sim $* printed no port"; exit 1; }
}

# stop_sim: SIGTERM must end the simulator with exit code 0.
stop_sim() {
  local rc=0
  kill -TERM "$sim_pid"
  wait "$sim_pid" || rc=$?
  cases=$((cases + 1))
  if [[ $rc == 0 ]]; then echo "ok    attenuator-sim ends on SIGTERM with 0"; else
    failures=$((failures + 1))
    echo "FAIL: attenuator-sim exit $rc on SIGTERM"
  fi
}

# wait_for CONDITION...: true as soon as the condition holds, false if it has not within 10 s.
wait_for() {
  for _ in $(seq 200); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

# has_lines N FILE: FILE holds N lines.
has_lines() {
  test "$(wc -l < "$2")" = "$1"
}

# check NAME CONDITION...: one named case decided by a test expression.
check() {
  local name=$1
  shift
  cases=$((cases + 1))
  if "$@"; then echo "ok    $name"; else
    failures=$((failures + 1))
    echo "FAIL: $name"
  fi
}

# check_between NAME PORT: the mount on PORT stands between 0 and 35840 steps, both left out.
check_between() {
  local steps
  steps=$("$ctl" --port "$2" position --steps 2> /dev/null)
  steps=${steps% steps}
  check "$1 ($steps steps)" test "${steps:-0}" -gt 0 -a "${steps:-0}" -lt 35840
}

# The tour over a real port, through the link; the simulator traces the line on stderr.
start_sim tour --link "$work/ttyATT0" --trace
check "first line is the pty, nothing else on stdout" \
  test "$(cat "$work/tour.out")" = "$port" -a -c "$port"
check "--link points at the pty" test "$(readlink "$work/ttyATT0")" = "$port"
rc=0
out=$(timeout 120 "$ctl" --port "$work/ttyATT0" tour 2> "$work/tour.ctl.err") || rc=$?
check "tour over --port: exit 0, 12 results Ok, the refusal, the closing line" \
  test "$rc/$(grep -c '^     => Ok' <<< "$out")/$(grep -c 'as expected; nothing was sent' <<< "$out")/$(grep -c '^Tour done: 13 operations' <<< "$out")" = "0/12/1/1"
check "the tour says the line is not visible on a port" \
  grep -q "The line is not visible on a real port; attenuator-sim --trace shows it." <<< "$out"
stop_sim
check "the link is gone after SIGTERM" test ! -L "$work/ttyATT0"
check "--trace shows the identification exchange, escaped, with timestamps" \
  grep -Pzq '\n *\d+\.\d{6} host   0in\n *\d+\.\d{6} device 0IN0E1234ABCD01020304016800023000\\r\\n\n' \
  "$work/tour.err"
check "--trace shows the move and its reply" \
  grep -Pzq '\n *\d+\.\d{6} host   0ma00008C00\n *\d+\.\d{6} device 0PO00008C00\\r\\n\n' \
  "$work/tour.err"

# A device status code is an answer for `status` (stdout, exit 1), a failure for a move.
start_sim status31 --status 31 --baud 0
expect 1 "--port $port status" "device status 31"
expect 1 "--port $port --json status" '{"command":"status","result":"device status 31","status":31}'
expect 0 "--port $port move 10" "Ok"
stop_sim

# Faults, as exit codes and hints.
start_sim silent --silent-after 1 --baud 0
expect 4 "--port $port --timeout 300 status" "" "attenuatorctl status: ReplyTimeout
  hint: no reply in time"
kill "$sim_pid"
start_sim dropped --drop 1 --faults-after 1 --seed 3 --baud 0
expect 4 "--port $port --timeout 300 position" "" "position: ReplyTimeout"
kill "$sim_pid"
start_sim mute --drop 1 --seed 3 --baud 0
expect 3 "--port $port status" "" "no attenuator answered on $port"
kill "$sim_pid"
start_sim identity --baud 0 --ident-a SIM00042 --degrees 720 --pulses 288000 --home-offset 400
expect 0 "--port $port info" "identification  SIM00042 0102 03 04
scale           720 degrees, 288000 steps per revolution
home offset     1.000000 degrees"
expect 0 "--port $port --json info" '{"command":"info","result":"Ok","status":0,"ident_a":"SIM00042","ident_b":"0102","ident_c":"03","ident_d":"04","degrees_per_revolution":720,"pulses_per_revolution":288000,"home_offset":1.000000}'
kill "$sim_pid"
start_sim hangup --hangup-after 1 --baud 0
expect 6 "--port $port status" "" "status: PortUnavailable"
kill "$sim_pid"

# The line closed under the call: the port has gone, and the hint says so.
start_sim hangup-hint --hangup-after 1 --baud 0
rc=0
"$ctl" --port "$port" status 2> "$work/hangup-hint.ctl.err" || rc=$?
check "a hang-up during the call: exit 6, and the hint says the device went away" \
  test "$rc" = 6 -a -n "$(grep 'went away' "$work/hangup-hint.ctl.err")"
kill "$sim_pid"

# N = 0 answers nothing: the identification on Connect already goes unanswered, or the line
# goes away under it.
start_sim zero-silent --silent-after 0 --baud 0
expect 3 "--port $port status" "" "no attenuator answered on $port"
kill "$sim_pid"
start_sim zero-hangup --hangup-after 0 --baud 0
expect 3 "--port $port status" "" "cannot use $port
  hint: the device went away"
kill "$sim_pid"

# A value no option can mean is a usage error (exit 2), before any port is made.
for bad in "--silent-after -1" "--hangup-after -1" "--faults-after -1" "--seed -1" \
  "--drop nan" "--late nan" "--corrupt nan" "--fragment nan" "--adapter-latency-ms 256" \
  "--unplug-after-ms -1" "--replug-after-ms -1"; do
  rc=0
  # shellcheck disable=SC2086
  out=$(timeout 2 "$sim" $bad --baud 0 < /dev/null 2> /dev/null) || rc=$?
  check "attenuator-sim $bad: exit 2 and no port (got exit $rc, stdout '$out')" \
    test "$rc" = 2 -a -z "$out"
done

# Two simulators on one --link: the link belongs to the one that made it last, and the other
# one ending must not take it away from the one still serving.
start_sim link-first --link "$work/ttyShared" --baud 0
first_pid=$sim_pid
start_sim link-second --link "$work/ttyShared" --baud 0
second_port=$port
kill -TERM "$first_pid"
wait "$first_pid"
check "the first simulator ending leaves the second one's link in place" \
  test "$(readlink "$work/ttyShared")" = "$second_port"
kill "$sim_pid"

# At 10^8 steps per degree, 300 degrees is more steps than 32 bits hold: refused, and the hint
# must say why rather than list -360 < degrees < 360 as accepted.
start_sim fine-scale --degrees 1 --pulses 100000000 --baud 0 --speed 0
expect 7 "--port $port move 300" "" "32 bits"
kill "$sim_pid"

# Ctrl-C during a slow move: the wait ends at once, Stop goes out, exit 130, and the mount stands
# where the stop found it. A move of 90 degrees at 1000 steps a second would take 36 s. The device
# answers the move it cut short (its position frame) before the stop (its status frame); the
# library's Stop passes over the first and takes the second.
for json in "" "--json"; do
  start_sim interrupt --trace --baud 0 --speed 1000
  # shellcheck disable=SC2086
  "$ctl" --port "$port" $json --timeout 60000 move 90 > "$work/ctl-interrupt.out" 2> "$work/ctl-interrupt.err" &
  ctl_pid=$!
  for _ in $(seq 100); do
    grep -q "0ma00008C00" "$work/interrupt.err" && break
    sleep 0.05
  done
  start=$SECONDS
  kill -INT "$ctl_pid"
  rc=0
  wait "$ctl_pid" || rc=$?
  check "Ctrl-C during a slow move${json:+ with $json}: exit 130 within 5 s (exit $rc, $((SECONDS - start)) s)" \
    test "$rc" = 130 -a $((SECONDS - start)) -le 5
  check "Ctrl-C during a slow move${json:+ with $json}: the move's reply, cut short, then the stop's" \
    grep -Pzq '\n *\d+\.\d{6} host   0st\n *\d+\.\d{6} device 0PO[0-9A-F]{8}\\r\\n\n *\d+\.\d{6} device 0GS00\\r\\n\n' "$work/interrupt.err"
  if [[ -z $json ]]; then
    check "Ctrl-C during a slow move: says so" grep -q "attenuatorctl move: interrupted: the wait for the device was cut short; Stop sent: Ok$" "$work/ctl-interrupt.err"
  else
    check "Ctrl-C during a slow move with --json: one object" grep -q '^{"command":"move","result":"interrupted","status":-2,"stop":"Ok".*"exit_code":130}$' "$work/ctl-interrupt.out"
  fi
  check_between "Ctrl-C during a slow move${json:+ with $json}: the mount stopped between start and target" "$port"
  kill "$sim_pid"
done

# A Stop whose confirmation is lost (the device stops, its status frame does not come): the
# hint says the device may still be moving and how to wait for it. --drop 1 after the first two
# commands loses every reply from the stop on; the move's own, cut short, still comes.
start_sim interrupt-unconfirmed --trace --baud 0 --speed 1000 --drop 1 --faults-after 2
"$ctl" --port "$port" --timeout 60000 move 90 > /dev/null 2> "$work/unconfirmed.ctl.err" &
ctl_pid=$!
for _ in $(seq 100); do grep -q "0ma00008C00" "$work/interrupt-unconfirmed.err" && break; sleep 0.05; done
kill -INT "$ctl_pid"
rc=0
wait "$ctl_pid" || rc=$?
wait_hint="until attenuatorctl --port $port position; do sleep 1; done"
check "an unconfirmed Stop: says so (exit $rc)" grep -q "Stop sent: ReplyTimeout" "$work/unconfirmed.ctl.err"
check "an unconfirmed Stop: the hint says how to wait for the device" grep -qF "$wait_hint" "$work/unconfirmed.ctl.err"
kill "$sim_pid"

# A second Ctrl-C while the Stop waits ends the run at once; with --json it still leaves one
# object on stdout, and it has no Stop result. The stop's reply is lost, so the Stop waits.
start_sim interrupt-twice --trace --baud 0 --speed 1000 --drop 1 --faults-after 2
"$ctl" --port "$port" --json --timeout 60000 move 90 > "$work/twice.out" 2> "$work/twice.err" &
ctl_pid=$!
for _ in $(seq 100); do grep -q "0ma00008C00" "$work/interrupt-twice.err" && break; sleep 0.05; done
kill -INT "$ctl_pid"
for _ in $(seq 100); do grep -q "host   0st" "$work/interrupt-twice.err" && break; sleep 0.01; done
kill -INT "$ctl_pid"
rc=0
wait "$ctl_pid" || rc=$?
check "a second Ctrl-C with --json: exit 130 and one object, without a Stop result (exit $rc: $(cat "$work/twice.out"))" \
  test "$rc/$(wc -l < "$work/twice.out")/$(grep -c '^{"command":"move","result":"interrupted","status":-2,"hint":"[^"]*'"until attenuatorctl --port $port position; do sleep 1; done"'","exit_code":130}$' "$work/twice.out")" = "130/1/1"
kill "$sim_pid"

# Unplugged by the clock, plugged back in after a while: a new port line on stdout, the link
# made anew, and the device answers there.
start_sim timers --link "$work/ttyPlug" --baud 0 --unplug-after-ms 200 --replug-after-ms 300
check "unplug and replug by the clock: a second port line" \
  wait_for has_lines 2 "$work/timers.out"
second=$(sed -n 2p "$work/timers.out")
check "the link leads to the new port" test "$(readlink "$work/ttyPlug")" = "$second" -a -c "$second"
expect 0 "--port $work/ttyPlug status" "Ok"
stop_sim

# SIGUSR1 in the middle of a slow move pulls the line out: the waiting call fails, port and link
# are gone. The next SIGUSR1 plugs it back in: the mount stands where the unplug found it.
start_sim usr1 --link "$work/ttyUsr1" --baud 0 --speed 1000 --trace
"$ctl" --port "$work/ttyUsr1" --timeout 60000 move 90 > /dev/null 2>&1 &
ctl_pid=$!
wait_for grep -q "host   0ma00008C00" "$work/usr1.err"
kill -USR1 "$sim_pid"
rc=0
wait "$ctl_pid" || rc=$?
check "SIGUSR1 during a move: the call fails with PortUnavailable (exit $rc)" test "$rc" = 6
check "SIGUSR1 during a move: the port and the link are gone" \
  wait_for test ! -e "$port" -a ! -L "$work/ttyUsr1"
kill -USR1 "$sim_pid"
check "the next SIGUSR1 plugs it back in: a second port line" \
  wait_for has_lines 2 "$work/usr1.out"
check_between "after the replug the mount stands where the unplug found it" "$work/ttyUsr1"
stop_sim

# --power-cycle: the device comes back as from power-on, at --position.
start_sim power --link "$work/ttyPower" --baud 0 --speed 0 --position 5 --power-cycle
expect 0 "--port $work/ttyPower move --steps 1000" "Ok"
kill -USR1 "$sim_pid"
wait_for test ! -L "$work/ttyPower"
kill -USR1 "$sim_pid"
wait_for has_lines 2 "$work/power.out"
expect 0 "--port $work/ttyPower position --steps" "5 steps"
stop_sim

# Behind a 16 ms adapter a status reply reaches the host no sooner than 16 ms after the device
# sent it, whatever the load.
start_sim adapter --baud 0 --adapter-latency-ms 16
# From the trace's host line, written before the command goes out, to its device line, written
# once the reply is in: however late the host's thread runs, never less than the adapter's wait.
waited=$(TORVEK_ATTENUATOR_TRACE=stderr "$ctl" --port "$port" status 2>&1 >/dev/null |
  awk '$3 == "host" && $4 == "0gs" { sent = $1 } $3 == "device" && sent { ms = ($1 - sent) * 1000 }
       END { print ms }')
check "through a 16 ms adapter the status reply waits at least 16 ms ($waited ms)" \
  awk -v ms="${waited:-0}" 'BEGIN { exit !(ms >= 16) }'
stop_sim

summary

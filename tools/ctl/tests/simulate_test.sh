#!/usr/bin/env bash
# attenuatorctl --simulate: every command with its exact output and exit code, and the
# mistakes a user makes, each with its message and exit code. About 25 s, most of it the
# simulated device's own timing (a quarter turn takes 0.5 s, optimisation 2 s).
set -uo pipefail
ctl=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/expect.sh"

S=--simulate
expect 0 "$S status" "Ok"
expect 0 "$S info" "identification  1234ABCD 0102 03 04
scale           360 degrees, 143360 steps per revolution
home offset     0.000000 degrees"
expect 0 "$S position" "0.0000 degrees"
expect 0 "$S position --steps" "0 steps"
expect 0 "$S move 90" "Ok"
expect 0 "$S move -359.999" "Ok"
expect 0 "$S move --steps -143360" "Ok"
expect 0 "$S move --steps=143360" "Ok"
expect 7 "$S move 360" "" "attenuatorctl move: InvalidArgument
  hint: nothing was sent"
expect 7 "$S move --steps 143361" "" "move: InvalidArgument"
expect 0 "$S home" "Ok"
expect 0 "$S stop" "Ok"
expect 0 "$S optimize" "Ok"
expect 0 "$S clean" "Ok"
expect 0 "$S transmittance" "0.000000"
expect 0 "$S transmittance --min-angle -45 --span 90" "0.500000"
expect 0 "$S transmittance set 1" "Ok"
expect 0 "$S transmittance set 0.5 --min-angle 10 --span 90" "Ok"
expect 7 "$S transmittance set 1.5" "" "transmittance set: InvalidArgument"
expect 7 "$S transmittance --min-angle 300 --span 60" "" "transmittance: InvalidArgument"
# A percent sign means percent; the optical density both ways, by the library's conversions.
expect 0 "$S --trace transmittance set 25%" "Ok" "host   0ma00002EAA"
expect 0 "$S --trace transmittance set 0.25" "Ok" "host   0ma00002EAA"
expect 2 "$S transmittance set 25%%" "" "not a number, nor a number followed by %"
expect 0 "$S od" "inf"
expect 0 "$S od --min-angle -45" "0.301030"
expect 0 "$S --trace od 2 --min-angle 10" "Ok" "host   0ma0000187B"
expect 0 "$S --trace od inf --min-angle 10" "Ok" "host   0ma00000F8E"
expect 7 "$S od 8.72" "" "accepted: 0 <= optical density <= 8.7164, or inf"
expect 7 "$S od -1" "" "od: InvalidArgument"
expect 7 "$S od 1 --span 0" "" "od: InvalidArgument"
expect 0 "$S scan --points 5 --min-angle 10 --span 90" \
"transmittance model: min angle 10, span 90 degrees
wanted    sent         steps     read back
0.000     0ma00000F8E  3982      0.000000
0.250     0ma00003E38  15928     0.249966
0.500     0ma0000558E  21902     0.499990
0.750     0ma00006CE3  27875     0.749979
1.000     0ma00009B8E  39822     1.000000"

expect 0 "$S --json status" '{"command":"status","result":"Ok","status":0}'
expect 0 "$S --json position --steps" '{"command":"position","result":"Ok","status":0,"steps":0}'
expect 0 "$S --json info" '{"command":"info","result":"Ok","status":0,"ident_a":"1234ABCD","ident_b":"0102","ident_c":"03","ident_d":"04","degrees_per_revolution":360,"pulses_per_revolution":143360,"home_offset":0.000000}'
expect 0 "$S --json transmittance set 0.25" '{"command":"transmittance set","result":"Ok","status":0}'
expect 0 "$S --json transmittance --min-angle -45" '{"command":"transmittance","result":"Ok","status":0,"transmittance":0.5,"percent":50,"optical_density":0.301029996,"attenuation_db":3.01029996}'
# No finite density for T = 0: null.
expect 0 "$S --json od" '{"command":"od","result":"Ok","status":0,"transmittance":0,"percent":0,"optical_density":null,"attenuation_db":null}'
expect 0 "$S --json scan --points 2" '{"command":"scan","result":"Ok","status":0,"min_angle":0,"span":90,"points":[{"wanted":0,"sent":"0ma00000000","steps":0,"read_back":0},{"wanted":1,"sent":"0ma00008C00","steps":35840,"read_back":1}]}'
expect 7 "$S --json move 400" '{"command":"move","result":"InvalidArgument","status":-4,"hint":"nothing was sent: a value is outside what the attenuator accepts; accepted: -360 < degrees < 360, and the step count at the device'"'"'s scale must fit in 32 bits"}' \
  "move: InvalidArgument"

# Usage and connection mistakes.
expect 2 "" "" "A subcommand is required"
expect 2 "status" "" "attenuatorctl status: no port given
  hint: --port /dev/ttyUSB0 (COM3 on Windows), or --simulate"
expect 2 "$S move" "" "Exactly 1 option from [degrees,--steps] is required"
expect 2 "$S move ninety" "" "Could not convert"
expect 2 "$S --timeout 0 status" "" "--timeout: Value 0 not in range 1 to 2147483647"
expect 2 "$S --timeout 2147483648 status" "" "not in range 1 to 2147483647"
expect 0 "$S --timeout 2147483647 status" "Ok"
commands="status, info, position, move, home, stop, optimize, clean, transmittance, od, scan, tour, ports"
expect 2 "$S frobnicate" "" "attenuatorctl: unknown command 'frobnicate'
  hint: the commands are $commands"
expect 2 "-t 500 --port /dev/null frobnicate --steps" "" "unknown command 'frobnicate'"
expect 2 "--json $S frobnicate" \
  '{"command":"","result":"error","error":"unknown command '"'frobnicate'"'","hint":"the commands are '"$commands"'; attenuatorctl --help says more","exit_code":2}' \
  "unknown command 'frobnicate'"
version=$(sed -n 's/^project(TorvekAttenuator VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../../CMakeLists.txt")
expect 0 "--version" "attenuatorctl $version (library $version)"
expect 0 "-V" "attenuatorctl $version (library $version)"
expect 2 "$S --port /dev/null status" "" "excludes"
expect 2 "$S scan --points 1" "" "--points"
expect 3 "--port /nonexistent/ttyUSB9 status" "" "attenuatorctl status: no such port: /nonexistent/ttyUSB9
  hint: "
expect 3 "--port /dev/null position" "" "attenuatorctl position: /dev/null is not a serial device
  hint: not a serial device"
# With --json, one object on stdout: the error, a hint, the exit code; stderr says it too.
cases=$((cases + 1))
rc=0
out=$("$ctl" --json --port /nonexistent/ttyUSB9 status 2> /dev/null) || rc=$?
if [[ $rc == 3 ]] && /usr/bin/python3 -c '
import json, sys
o = json.loads(sys.argv[1])
sys.exit(not (sorted(o) == ["command", "error", "exit_code", "hint", "result"] and
              o["result"] == "error" and o["exit_code"] == 3 and o["hint"] and
              o["error"] == "no such port: /nonexistent/ttyUSB9"))' "$out"; then
  echo "ok    attenuatorctl --json --port /nonexistent/ttyUSB9 status"
else
  failures=$((failures + 1))
  echo "FAIL: attenuatorctl --json --port /nonexistent/ttyUSB9 status: exit $rc, $out"
fi

# Negative numbers work as they are, in every spelling a number has.
expect 0 "$S move -.5" "Ok"
expect 7 "$S move -inf" "" "move: InvalidArgument"
expect 0 "$S transmittance set 0.5 --min-angle -.5" "Ok"

# The InvalidArgument hint lists what is accepted; a refused value must not fit that list.
expect 7 "$S transmittance --span 1e-10" "" "1e-9"

# transmittance set takes the model options too, and its help says so.
cases=$((cases + 1))
help=$("$ctl" transmittance set --help 2>&1)
if [[ $help == *--min-angle* && $help == *--span* ]]; then
  echo "ok    attenuatorctl transmittance set --help names --min-angle and --span"
else
  failures=$((failures + 1))
  echo "FAIL: attenuatorctl transmittance set --help does not name --min-angle and --span"
fi

# With --json a usage mistake is one JSON object on stdout too, as a missing port already is.
for args in "--json $S move ninety" "--json $S scan --points 1" "--json status"; do
  cases=$((cases + 1))
  rc=0
  # shellcheck disable=SC2086
  out=$("$ctl" $args 2> /dev/null) || rc=$?
  if [[ $rc == 2 ]] && /usr/bin/python3 -c 'import json, sys
o = json.loads(sys.stdin.read())
sys.exit(not (o["result"] == "error" and o["exit_code"] == 2))' <<< "$out" 2> /dev/null; then
    echo "ok    attenuatorctl $args (usage error as JSON)"
  else
    failures=$((failures + 1))
    echo "FAIL: attenuatorctl $args: exit $rc, stdout '$out'"
  fi
done

# Output that cannot be written is a failure, not a silent exit 0.
for args in "$S position" "$S --json position"; do
  cases=$((cases + 1))
  rc=0
  # shellcheck disable=SC2086
  "$ctl" $args > /dev/full 2> "$work/stderr" || rc=$?
  if [[ $rc == 8 && -s $work/stderr ]]; then
    echo "ok    attenuatorctl $args > /dev/full"
  else
    failures=$((failures + 1))
    echo "FAIL: attenuatorctl $args > /dev/full: exit $rc, wanted 8 and a message on stderr"
  fi
done

# A port the user may not open. root may open anything, so root runs this case as nobody, and
# nobody must reach the tool and its library wherever this tree lives (a checkout in /root, or
# in a home of mode 700, is out of its reach): the case runs a copy of both, in a directory of
# its own under /tmp, where anyone may look.
reach=$(mktemp -d /tmp/attenuatorctl-test.XXXXXX)
trap 'rm -rf "$work" "$reach"' EXIT
cp "$ctl" "$reach/attenuatorctl"
while read -r soname path; do  # the tool's own library, by the name the loader looks for
  cp -L "$path" "$reach/$soname"
done < <(ldd "$ctl" | awk '$1 ~ /^libtorvek/ && $3 ~ /^\// { print $1, $3 }')
chmod -R a+rX "$reach" && chmod 755 "$reach"
touch "$reach/ttyUSB0" && chmod 000 "$reach/ttyUSB0"  # not even its owner may open it
as_user=(env "LD_LIBRARY_PATH=$reach")
if [[ $(id -u) == 0 ]]; then
  as_user=()
  command -v setpriv > /dev/null &&
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env "LD_LIBRARY_PATH=$reach")
fi
if [[ ${#as_user[@]} != 0 ]]; then
  rc=0
  err=$("${as_user[@]}" "$reach/attenuatorctl" --port "$reach/ttyUSB0" status 2>&1) || rc=$?
  cases=$((cases + 1))
  group=$(stat -c %G "$reach/ttyUSB0")
  if [[ $rc == 3 && $err == *"permission denied on $reach/ttyUSB0"* &&
        $err == *"group '$group': sudo usermod -aG $group"* ]]; then
    echo "ok    attenuatorctl --port (not permitted) status"
  else
    failures=$((failures + 1))
    echo "FAIL: permission denied: exit $rc, output: $err"
  fi
else
  echo "skip  permission denied (running as root without setpriv)"
fi

# On a terminal a slow call shows a spinner with the elapsed time, then wipes it.
if command -v script > /dev/null; then
  cases=$((cases + 1))
  tty_out=$(timeout 60 script -qc "$ctl --simulate optimize" /dev/null | tr -d '\000')
  if [[ $tty_out =~ optimising\ +1\.[0-9]\ s && $tty_out == *$'\r'"Ok"* ]]; then
    echo "ok    attenuatorctl --simulate optimize (spinner on a terminal)"
  else
    failures=$((failures + 1))
    echo "FAIL: no spinner on a terminal: $(od -c <<< "$tty_out" | head -5)"
  fi
fi

# The tour narrates every operation; its timings vary, so count the results.
cases=$((cases + 1))
rc=0
out=$(timeout 120 "$ctl" tour 2>"$work/stderr") || rc=$?
oks=$(grep -c '^     => Ok' <<<"$out")
if [[ $rc == 0 && $oks == 12 && ! -s $work/stderr &&
      $out == *"     => true"* &&
      $out == *"     device 0IN0E1234ABCD01020304016800023000\r\n"* &&
      $out == *"     host   0ma00008C00"* &&
      $out == *"     => InvalidArgument, as expected; nothing was sent"* &&
      $out == *"Tour done: 13 operations, all as expected (1 refused on purpose)."* ]]; then
  echo "ok    attenuatorctl tour"
else
  failures=$((failures + 1))
  echo "FAIL: attenuatorctl tour: exit $rc, $oks Ok results"
  echo "$out"
  cat "$work/stderr"
fi

summary

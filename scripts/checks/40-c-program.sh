#!/usr/bin/env bash
# A C program built outside this project's CMake, with the system compiler's defaults, against
# the installed headers and library, drives the simulated device through every operation.
# Costs a few seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
sim=${ATTENUATOR_SIM:-$build/tools/sim/attenuator-sim}
work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2> /dev/null || true
    wait "$sim_pid" 2> /dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

[ -x "$sim" ] || { echo "40-c-program: no simulator at $sim" >&2; exit 1; }
cmake --install "$build" --prefix "$work/prefix" > /dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libtorvek_attenuator.so.*' -print -quit)")
cc -std=c99 -Wall -Wextra -pedantic -Werror -I"$work/prefix/include" "$root/examples/c/tour.c" \
  -L"$libdir" -ltorvek_attenuator -Wl,-rpath,"$libdir" -o "$work/tour"

"$sim" --baud 0 --speed 0 --optimize-ms 100 --clean-ms 100 > "$work/sim.out" 2> "$work/sim.err" &
sim_pid=$!
port=
for _ in $(seq 100); do
  port=$(head -n 1 "$work/sim.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "40-c-program: the simulator printed no port" >&2; cat "$work/sim.err" >&2; exit 1; }

timeout 60 "$work/tour" "$port" | tee "$work/tour.out"
grep -q '^all operations succeeded$' "$work/tour.out"
echo "40-c-program: the C tour ran every operation against attenuator-sim"

#!/usr/bin/env bash
# A C program built outside this project's CMake, with the system compiler's defaults, against
# the installed headers and library, drives the simulated device through every operation.
# Costs a few seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
sim=${ATTENUATOR_SIM:-$build/tools/sim/attenuator-sim}
work=$(mktemp -d)
# shellcheck source=../lib/simulator.sh
source "$root/scripts/lib/simulator.sh"
cleanup() {
  stop_simulator
  rm -rf "$work"
}
trap cleanup EXIT

[ -x "$sim" ] || { echo "40-c-program: no simulator at $sim" >&2; exit 1; }
cmake --install "$build" --prefix "$work/prefix" > /dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libtorvek_attenuator.so.*' -print -quit)")
cc -std=c99 -Wall -Wextra -pedantic -Werror -I"$work/prefix/include" "$root/examples/c/tour.c" \
  -L"$libdir" -ltorvek_attenuator -Wl,-rpath,"$libdir" -o "$work/tour"

start_simulator 40-c-program --baud 0 --speed 0 --optimize-ms 100 --clean-ms 100

timeout 60 "$work/tour" "$port" | tee "$work/tour.out"
grep -q '^all operations succeeded$' "$work/tour.out"
echo "40-c-program: the C tour ran every operation against attenuator-sim"

#!/usr/bin/env bash
# A C program built outside this project's CMake, with the system compiler's defaults and the
# flags of the installed pkg-config file, drives the simulated device through every operation.
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
command -v pkg-config > /dev/null || { echo "40-c-program: pkg-config missing (pkgconf)" >&2; exit 1; }
cmake --install "$build" --prefix "$work/prefix" > /dev/null
# The flags come from the installed pkg-config file, as a user's build takes them.
pc=$(find "$work/prefix" -name torvek-attenuator.pc -print -quit)
[ -n "$pc" ] || { echo "40-c-program: cmake --install installed no torvek-attenuator.pc" >&2; exit 1; }
PKG_CONFIG_PATH=$(dirname "$pc")
export PKG_CONFIG_PATH
libdir=$(pkg-config --variable=libdir torvek-attenuator)
[ -f "$libdir/libtorvek_attenuator.so" ] || { echo "40-c-program: no library in $libdir" >&2; exit 1; }
# shellcheck disable=SC2046  # pkg-config prints several words
cc -std=c99 -Wall -Wextra -pedantic -Werror "$root/examples/c/tour.c" \
  $(pkg-config --cflags --libs torvek-attenuator) -Wl,-rpath,"$libdir" -o "$work/tour"

start_simulator 40-c-program --baud 0 --speed 0 --optimize-ms 100 --clean-ms 100

timeout 60 "$work/tour" "$port" | tee "$work/tour.out"
grep -q '^all operations succeeded$' "$work/tour.out"
echo "40-c-program: the C tour ran every operation against attenuator-sim"

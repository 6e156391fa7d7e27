#!/usr/bin/env bash
# Builds everything and runs every test: the unit and device tests under ctest, then each
# check in scripts/checks/ in name order. First installs whatever Debian package a list in
# scripts/packages/ names and the machine lacks (nothing, when all are there). Stops at the
# first failure; either way it ends with a table of the time each step took.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export BUILD_DIR=${BUILD_DIR:-$root/build}
jobs=${JOBS:-2}

steps=()
times=()
results=()
began=$EPOCHREALTIME
current=
step_began=

# EPOCHREALTIME is seconds with microseconds, its decimal point the locale's (a comma in
# many); tenths are enough here.
tenths() { local t=${1//[!0-9]/}; echo $((10#$t / 100000)); }
seconds() { local t=$1; printf '%d.%d' $((t / 10)) $((t % 10)); }

start_step() {
  current=$1
  step_began=$EPOCHREALTIME
}
end_step() {
  steps+=("$current")
  times+=($(($(tenths "$EPOCHREALTIME") - $(tenths "$step_began"))))
  results+=("$1")
  current=
}
table() {
  local status=$?
  [ -z "$current" ] || end_step FAILED
  echo
  echo "== time per step ($(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg))"
  for i in "${!steps[@]}"; do
    printf '  %-28s %8s s  %s\n' "${steps[$i]}" "$(seconds "${times[$i]}")" "${results[$i]}"
  done
  printf '  %-28s %8s s  %s\n' total \
    "$(seconds $(($(tenths "$EPOCHREALTIME") - $(tenths "$began"))))" \
    "$([ "$status" -eq 0 ] && echo passed || echo FAILED)"
}
trap table EXIT

start_step install-deps
bash scripts/install-deps.sh
end_step ok
start_step build
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
cmake --build "$BUILD_DIR" -j"$jobs"
end_step ok
start_step ctest
ctest --test-dir "$BUILD_DIR" -j"$jobs" --output-on-failure --timeout 300
end_step ok

for check in scripts/checks/*.sh; do
  [ -e "$check" ] || continue
  echo "== $check"
  start_step "$(basename "$check" .sh)"
  bash "$check"
  end_step ok
done

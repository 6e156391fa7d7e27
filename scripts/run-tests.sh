#!/usr/bin/env bash
# Builds everything and runs every test: the unit and device tests under ctest, then each
# check in scripts/checks/ in name order. Exits non-zero on the first failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export BUILD_DIR=${BUILD_DIR:-$root/build}
jobs=${JOBS:-2}

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j"$jobs"
ctest --test-dir "$BUILD_DIR" -j"$jobs" --output-on-failure --timeout 300

for check in scripts/checks/*.sh; do
  [ -e "$check" ] || continue
  echo "== $check"
  bash "$check"
done

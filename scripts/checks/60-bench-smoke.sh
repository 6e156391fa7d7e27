#!/usr/bin/env bash
# The benchmark still builds and runs: its quick run (about 5 s) against the instant device,
# pySerial peer included. Its figures are not judged here, on a shared machine; the full run
# is scripts/bench.sh. Fails if a transaction fails or threads or descriptors accumulate.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
bench="$build/bench/torvek_bench"
if [ ! -x "$bench" ]; then
  echo "bench smoke: SKIPPED, $bench not built (TORVEK_BUILD_BENCH=OFF)"
  exit 0
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! timeout 120 "$bench" --quick > "$log" 2>&1; then
  cat "$log"
  echo "bench smoke: FAILED"
  exit 1
fi
grep -E "library / floor |pySerial / library" "$log" | sed 's/^ */bench smoke (not judged here): /'
echo "bench smoke: quick run completed in $(tail -n 1 "$log" | sed 's/.*; //')"

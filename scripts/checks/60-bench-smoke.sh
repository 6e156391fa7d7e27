#!/usr/bin/env bash
# The benchmarks still build and run: the asyncio benchmark's quick run (about 4 s, against
# attenuator-sim), then the C++ benchmark's (about 5 s) against the instant device, pySerial
# peer included. Their figures are not judged here, on a shared machine; the full runs are
# scripts/bench.sh and scripts/bench.sh --aio. Fails if a transaction fails, a cancelled move
# sends no stop, or threads or descriptors accumulate.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

if ! timeout 120 /usr/bin/python3 "$root/bench/aio_bench.py" --build "$build" --quick > "$log" 2>&1; then
  cat "$log"
  echo "bench smoke: the asyncio benchmark FAILED"
  exit 1
fi
grep -E "longest gap|0st on the wire|at once \(" "$log" | sed 's/^ */aio bench smoke (not judged here): /'

bench="$build/bench/torvek_bench"
if [ ! -x "$bench" ]; then
  echo "bench smoke: SKIPPED, $bench not built (TORVEK_BUILD_BENCH=OFF)"
  exit 0
fi
if ! timeout 120 "$bench" --quick > "$log" 2>&1; then
  cat "$log"
  echo "bench smoke: FAILED"
  exit 1
fi
grep -E "library / floor |pySerial / library" "$log" | sed 's/^ */bench smoke (not judged here): /'
echo "bench smoke: quick run completed in $(tail -n 1 "$log" | sed 's/.*; //')"

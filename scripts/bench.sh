#!/usr/bin/env bash
# Builds the library and the benchmark in Release (in build-bench/) and runs the full benchmark:
# about a minute on a 2-core machine, plus the build. Arguments go to the benchmark
# (--quick: a few seconds with small samples). Figures vary with the machine's load: run it
# while nothing else builds, and quote the load line it prints.
# --tango [--quick] runs bench/tango_bench.py instead: the Tango server against the Python
# package on the same simulated device (about 30 s; needs python3-tango).
# --aio [--quick] runs bench/aio_bench.py: the asyncio layer's loop, cancel and concurrency
# (about 30 s).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTORVEK_BUILD_BENCH=ON > /dev/null
if [ "${1:-}" = "--aio" ]; then
  shift
  cmake --build "$build" -j2 --target attenuator-sim torvek_attenuator > /dev/null
  exec /usr/bin/python3 "$root/bench/aio_bench.py" --build "$build" "$@"
fi
if [ "${1:-}" = "--tango" ]; then
  shift
  cmake --build "$build" -j2 --target attenuator-sim torvek_attenuator > /dev/null
  exec /usr/bin/python3 "$root/bench/tango_bench.py" --build "$build" "$@"
fi
cmake --build "$build" -j2 --target torvek_bench > /dev/null
exec "$build/bench/torvek_bench" "$@"

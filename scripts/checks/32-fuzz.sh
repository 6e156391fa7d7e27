#!/usr/bin/env bash
# Fuzzes the reply decoders for a bounded time (FUZZ_SECONDS, default 60) with libFuzzer under
# ASan and UBSan, starting from the seed corpus in fuzz/corpus/replies. Built with clang in a
# tree of its own (build-fuzz/), apart from the main build. About 80 s with the build.
# A crash or a broken invariant fails the check and prints the input that did it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
cxx=${FUZZ_CXX:-clang++-14}

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" > /dev/null
cmake --build "$build" -j2 > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The run adds to its corpus; the seeds in the repository stay as they are.
mkdir "$work/corpus"
cp "$root"/fuzz/corpus/replies/* "$work/corpus/"

status=0
"$build/reply_fuzzer" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  -dict="$root/fuzz/replies.dict" -print_final_stats=1 -artifact_prefix="$work/" \
  "$work/corpus" > "$work/log" 2>&1 || status=$?

if [ "$status" -ne 0 ]; then
  tail -n 60 "$work/log"
  for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
    [ -e "$artifact" ] || continue
    echo "== input that failed: $(basename "$artifact")"
    od -A d -t x1z "$artifact"
  done
  exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
echo "reply fuzzer: $runs executions in $seconds s, no crash, no broken invariant"

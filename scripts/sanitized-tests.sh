#!/usr/bin/env bash
# Builds the library, the simulated device and the tests with a sanitizer and runs the whole
# ctest suite under it: `bash scripts/sanitized-tests.sh asan` (AddressSanitizer with
# UndefinedBehaviorSanitizer) or `... tsan` (ThreadSanitizer). The build tree is the preset's
# (build-asan/, build-tsan/). Any finding fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
preset=${1:?usage: sanitized-tests.sh asan|tsan}
case "$preset" in
  asan | tsan) ;;
  *) echo "unknown sanitizer preset '$preset'" >&2; exit 2 ;;
esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A finding must fail the test that made it, at the place it happened. The test programs also
# run while being built (gtest discovery), so these hold for the build as well.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# ThreadSanitizer maps its shadow memory at fixed addresses; on kernels that randomise the
# address space with more bits than the runtime expects, every instrumented program dies at
# start with "unexpected memory mapping". Run without randomisation there.
run=()
if [ "$preset" = tsan ]; then
  echo 'int main() { return 0; }' > "$work/probe.cpp"
  ${CXX:-c++} -fsanitize=thread "$work/probe.cpp" -o "$work/probe"
  if ! "$work/probe" > "$work/probe.out" 2>&1; then
    if setarch "$(uname -m)" -R "$work/probe"; then
      echo "ThreadSanitizer needs the address space unrandomised here; running under setarch -R"
      run=(setarch "$(uname -m)" -R)
    else
      cat "$work/probe.out" >&2
      exit 1
    fi
  fi
fi

start=$SECONDS
# The benchmark is no test; everything else is built, since ctest runs all that gtest found.
if ! "${run[@]}" cmake --preset "$preset" -DTORVEK_BUILD_BENCH=OFF > "$work/build.log" 2>&1 ||
   ! "${run[@]}" cmake --build --preset "$preset" >> "$work/build.log" 2>&1; then
  tail -n 80 "$work/build.log"
  exit 1
fi
built=$SECONDS
"${run[@]}" ctest --preset "$preset" --timeout 300
echo "$preset: built in $((built - start)) s, tests ran in $((SECONDS - built)) s"

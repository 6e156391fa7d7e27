#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer (preset asan,
# build-asan/). 4 to 7 minutes on 2 cores: the build (up to 5 min on a busy machine), then
# ctest (2 min).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bash "$root/scripts/sanitized-tests.sh" asan

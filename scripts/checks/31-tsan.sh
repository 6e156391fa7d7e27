#!/usr/bin/env bash
# The whole test suite under ThreadSanitizer (preset tsan, build-tsan/). 4 to 5.5 minutes
# on 2 cores: the build (up to 3.5 min on a busy machine), then ctest (1.5 min).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bash "$root/scripts/sanitized-tests.sh" tsan

#!/usr/bin/env bash
# The whole test suite under ThreadSanitizer (preset tsan, build-tsan/). About 2 to 3 minutes
# on 2 cores: the build, then ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bash "$root/scripts/sanitized-tests.sh" tsan

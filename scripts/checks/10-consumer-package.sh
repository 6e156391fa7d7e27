#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds a small project against the installed
# package, as a user's project would find it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > /dev/null
test -f "$work/prefix/include/torvek/AttenuatorHandler.h"
cmake -S "$root/examples/consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/build" -j2 > /dev/null
"$work/build/consumer"

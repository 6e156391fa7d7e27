#!/usr/bin/env bash
# From a fresh Debian 12 machine to the guided tour: installs what the tour needs
# (scripts/packages/tour.txt: compiler, CMake, Asio, CLI11), builds the library and the two tools
# in build/ (the tree scripts/run-tests.sh goes on to use, installing the rest), and runs
# attenuatorctl's tour against a simulated attenuator. No device needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-$root/build}

bash scripts/install-deps.sh tour
# The tests need GoogleTest, which the tour does not; run-tests.sh turns them on again.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF > /dev/null
cmake --build "$build" -j2 --target attenuatorctl attenuator-sim
echo
"$build/tools/ctl/attenuatorctl" --simulate tour
echo "Next: $build/tools/ctl/attenuatorctl --help lists every command;"
echo "      bash scripts/run-tests.sh installs what the tests need, builds and runs every test."

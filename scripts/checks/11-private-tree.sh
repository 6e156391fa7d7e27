#!/usr/bin/env bash
# attenuatorctl's tests from a tree that other users cannot reach, as a checkout in /root or in
# a home of mode 700 is: the tool and its library are installed under a directory of mode 700
# and the whole attenuatorctl test runs against that copy. Its case that runs as another user
# must not depend on where the tree lives.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
private=$(mktemp -d /tmp/private-tree.XXXXXX)
trap 'rm -rf "$private"' EXIT
chmod 700 "$private"
cmake --install "$build" --prefix "$private/prefix" > /dev/null
ctl=$private/prefix/bin/attenuatorctl

if [[ $(id -u) == 0 ]] && command -v setpriv > /dev/null; then
  # The check means something only if the tree is really out of the other user's reach.
  if setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$ctl"; then
    echo "FAIL: nobody can reach $ctl; the tree is not private"
    exit 1
  fi
fi
bash "$root/tools/ctl/tests/simulate_test.sh" "$ctl"

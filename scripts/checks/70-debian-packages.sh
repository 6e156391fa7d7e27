#!/usr/bin/env bash
# The Debian packages, as a user gets them: makes them (`cmake --build --target package`),
# checks their names, versions and contents and runs lintian on them (no error), then makes a
# clean Debian 12 root with debootstrap and installs them there with apt-get, which fetches
# their dependencies from Debian's mirror. In that root, as a user would: a CMake project and a
# C program built with pkg-config against the installed library, `attenuatorctl --simulate
# tour`, the man pages, and Python driving attenuator-sim. Then the packages are purged and
# nothing of theirs may be left.
# Needs root and Debian's mirror. Costs 2.5 minutes on the 2-core machine with load 3 to 4
# (the packages 17 s with the build tree built, lintian 10 s, the root 90 s, the tools the
# tests need in it 25 s, the tests 10 s), 4 to 6.5 minutes with load 8 to 14.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
started=$SECONDS

fail() {
  echo "70-debian-packages: $*" >&2
  exit 1
}
step() {
  echo "70-debian-packages: $* ($((SECONDS - started)) s)"
}
for tool in dpkg-deb dpkg-shlibdeps dpkg-parsechangelog lintian debootstrap help2man; do
  command -v "$tool" > /dev/null || fail "$tool is missing (scripts/packages/debian.txt)"
done
[ "$(id -u)" -eq 0 ] || fail "must run as root (debootstrap, chroot)"

# --- The packages ------------------------------------------------------------------------------
rm -f "$build"/*.deb
cmake --build "$build" --target package -j2 > "$build/package.log" 2>&1 || {
  tail -40 "$build/package.log"
  fail "making the packages failed"
}
version=$(dpkg-parsechangelog -l "$root/packaging/debian/changelog" -S Version)
project_version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ "${version%-*}" = "$project_version" ] ||
  fail "the changelog's latest entry is $version, the project's version $project_version"
packages=(libtorvek-attenuator1 libtorvek-attenuator-dev torvek-attenuator-tools
  python3-torvek-attenuator)
debs=()
for p in "${packages[@]}"; do
  arch=amd64
  [ "$p" = python3-torvek-attenuator ] && arch=all
  deb=$build/${p}_${version}_${arch}.deb
  [ -f "$deb" ] || fail "$deb was not made; made: $(cd "$build" && echo *.deb)"
  debs+=("$deb")
done
# The Tango device server's package and the window's, when the build has them: checked here,
# not installed in the root below (python3-tango, or Qt, numpy and scipy, and their dependencies
# would double the check's time; their own checks run them from an installed tree).
tango_deb=$build/torvek-attenuator-tango_${version}_all.deb
gui_deb=$build/torvek-attenuator-gui_${version}_all.deb
expected=${#packages[@]}
if grep -q '^TORVEK_BUILD_TANGO:BOOL=ON' "$build/CMakeCache.txt"; then
  [ -f "$tango_deb" ] || fail "$tango_deb was not made; made: $(cd "$build" && echo *.deb)"
  expected=$((expected + 1))
fi
if grep -q '^TORVEK_BUILD_GUI:BOOL=ON' "$build/CMakeCache.txt"; then
  [ -f "$gui_deb" ] || fail "$gui_deb was not made; made: $(cd "$build" && echo *.deb)"
  expected=$((expected + 1))
fi
made=$(find "$build" -maxdepth 1 -name '*.deb' | wc -l)
[ "$made" -eq "$expected" ] || fail "$made packages made, $expected expected"

# What each package must hold (more may be there); the root below checks that they work.
contents() {
  dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'
}
expect_in() {
  local deb=$1 list
  shift
  list=$(contents "$deb")
  for path in "$@"; do
    grep -qxF "$path" <<< "$list" || fail "$(basename "$deb") lacks $path"
  done
}
lib=/usr/lib/x86_64-linux-gnu
for i in "${!packages[@]}"; do
  expect_in "${debs[$i]}" "/usr/share/doc/${packages[$i]}/changelog.Debian.gz" \
    "/usr/share/doc/${packages[$i]}/copyright"
done
expect_in "${debs[0]}" $lib/libtorvek_attenuator.so.1 "$lib/libtorvek_attenuator.so.$project_version"
expect_in "${debs[1]}" /usr/include/torvek/attenuator.h /usr/include/torvek/AttenuatorHandler.h \
  $lib/libtorvek_attenuator.so $lib/pkgconfig/torvek-attenuator.pc \
  $lib/cmake/TorvekAttenuator/TorvekAttenuatorConfig.cmake
expect_in "${debs[2]}" /usr/bin/attenuatorctl /usr/bin/attenuator-sim \
  /usr/share/man/man1/attenuatorctl.1.gz /usr/share/man/man1/attenuator-sim.1.gz
expect_in "${debs[3]}" /usr/lib/python3/dist-packages/torvek_attenuator/__init__.py \
  /usr/lib/python3/dist-packages/torvek_attenuator/_layout.py
if [ -f "$tango_deb" ]; then
  expect_in "$tango_deb" /usr/bin/attenuator-tango \
    /usr/lib/python3/dist-packages/torvek_attenuator_tango/device.py \
    /usr/share/doc/torvek-attenuator-tango/copyright
  depends=$(dpkg-deb -f "$tango_deb" Depends)
  [[ $depends == *python3-tango* && $depends == *"python3-torvek-attenuator (= $version)"* ]] ||
    fail "torvek-attenuator-tango depends on $depends"
fi
if [ -f "$gui_deb" ]; then
  python_dir=/usr/lib/python3/dist-packages/torvek_attenuator
  expect_in "$gui_deb" /usr/bin/attenuator-gui /usr/share/man/man1/attenuator-gui.1.gz \
    /usr/share/applications/attenuator-gui.desktop \
    /usr/share/icons/hicolor/scalable/apps/attenuator-gui.svg \
    "$python_dir/gui/__init__.py" "$python_dir/gui/window.py" \
    /usr/share/doc/torvek-attenuator-gui/copyright
  # The subpackage only: the package it extends is python3-torvek-attenuator's.
  if grep -q "^$python_dir/[^/]*\.py$\|__pycache__" <<< "$(contents "$gui_deb")"; then
    fail "torvek-attenuator-gui ships modules outside torvek_attenuator/gui, or compiled files"
  fi
  depends=$(dpkg-deb -f "$gui_deb" Depends)
  for needed in python3-pyqt5 python3-pyqtgraph python3-scipy "python3-torvek-attenuator (= $version)"; do
    [[ $depends == *"$needed"* ]] || fail "torvek-attenuator-gui depends on $depends"
  done
  [ "$(dpkg-deb -f "$gui_deb" Recommends)" = torvek-attenuator-tools ] ||
    fail "torvek-attenuator-gui does not recommend torvek-attenuator-tools"
fi
# (Pipes into grep -q are avoided here: with pipefail, a writer cut short by grep's early exit
# would turn a match into a failure.)
if grep -q __pycache__ <<< "$(contents "${debs[3]}")"; then
  fail "python3-torvek-attenuator ships compiled files"
fi
if grep -q /torvek_attenuator/gui/ <<< "$(contents "${debs[3]}")"; then
  fail "python3-torvek-attenuator ships the window's modules (torvek-attenuator-gui's)"
fi
# The library package carries the shlibs line of its soname; the others depend on it exactly.
grep -qxF "libtorvek_attenuator 1 libtorvek-attenuator1 (>= $version)" <<< "$(dpkg-deb -I "${debs[0]}" shlibs)" ||
  fail "libtorvek-attenuator1 has no shlibs line for libtorvek_attenuator.so.1"
grep -qx "activate-noawait ldconfig" <<< "$(dpkg-deb -I "${debs[0]}" triggers)" ||
  fail "libtorvek-attenuator1 does not activate the ldconfig trigger"
for deb in "${debs[@]:1}"; do
  grep -qF "libtorvek-attenuator1 (= $version)" <<< "$(dpkg-deb -f "$deb" Depends)" ||
    fail "$(basename "$deb") does not depend on libtorvek-attenuator1 (= $version)"
done
# Each package's synopsis is its own (CPack would put a shared one first if it had one).
synopses=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Description | sed -n 1p; done | sort -u | wc -l)
[ "$synopses" -eq "${#debs[@]}" ] || fail "the packages share a synopsis line"
for deb in "${debs[@]}" $(test -f "$tango_deb" && echo "$tango_deb") \
  $(test -f "$gui_deb" && echo "$gui_deb"); do
  printf '  %-48s %7s bytes  Depends: %s\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Depends)"
done
step "${#debs[@]} packages made"

# lintian runs as root here (it says so on stderr); errors fail, warnings are listed.
rc=0
lintian_debs=("${debs[@]}")
[ -f "$tango_deb" ] && lintian_debs+=("$tango_deb")
[ -f "$gui_deb" ] && lintian_debs+=("$gui_deb")
lintian --fail-on error "${lintian_debs[@]}" > "$build/lintian.log" 2>&1 || rc=$?
grep -v "running with root privileges" "$build/lintian.log" | sed 's/^/  /' || true
[ "$rc" -eq 0 ] || fail "lintian found errors (exit $rc)"
step "lintian found no error"

# --- A clean Debian 12 root ----------------------------------------------------------------------
# Mounts inside it are undone before it is removed, and it is removed without crossing into
# another file system: rm -rf through a live bind mount of /dev would delete the host's devices.
R=$(mktemp -d /tmp/debian-root.XXXXXX)
cleanup() {
  local m
  for m in "$R/dev" "$R/proc"; do
    if mountpoint -q "$m"; then
      umount -R "$m" 2> /dev/null || umount -R -l "$m" || true
    fi
  done
  if grep -qF " $R/" /proc/self/mountinfo; then
    echo "70-debian-packages: $R still has mounts; left in place" >&2
  else
    rm -rf --one-file-system "$R"
  fi
}
trap cleanup EXIT
in_root() {
  chroot "$R" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

# A root thrown away afterwards needs no fsync of every file dpkg unpacks (debootstrap's own
# dpkg runs included), nor translations.
mkdir -p "$R/etc/dpkg/dpkg.cfg.d" "$R/etc/apt/apt.conf.d"
echo force-unsafe-io > "$R/etc/dpkg/dpkg.cfg.d/unsafe-io"
echo 'Acquire::Languages "none";' > "$R/etc/apt/apt.conf.d/no-translations"
timeout 600 debootstrap --variant=minbase bookworm "$R" "$mirror" > "$build/debootstrap.log" 2>&1 || {
  tail -20 "$build/debootstrap.log"
  fail "debootstrap failed"
}
mount -t proc proc "$R/proc"
# The simulator opens /dev/ptmx and hands out /dev/pts/N: the host's /dev, kept from passing
# unmounts back to the host.
mount --rbind /dev "$R/dev"
mount --make-rslave "$R/dev"
cp /etc/resolv.conf "$R/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' > "$R/usr/sbin/policy-rc.d"
chmod 755 "$R/usr/sbin/policy-rc.d"
[ -f "$R/etc/dpkg/dpkg.cfg.d/unsafe-io" ] || fail "debootstrap removed the root's dpkg settings"
step "Debian 12 root made"

# What the tests need, installed before the packages, so that the snapshot below separates
# what the packages bring from everything else.
in_root apt-get update -qq > "$build/root-apt.log" 2>&1 || fail "apt-get update in the root failed"
in_root apt-get install -y -qq --no-install-recommends cmake g++ make pkgconf man-db python3 \
  >> "$build/root-apt.log" 2>&1 || {
  tail -20 "$build/root-apt.log"
  fail "installing the test tools in the root failed"
}
# python3 compiles a standard module it imports for the first time; do that now.
in_root python3 -c "import ctypes, ctypes.util, threading, select, signal, subprocess"
in_root find /usr | sort > "$R/tmp/usr-before"
step "test tools installed in the root"

mkdir -p "$R/tmp/debs" "$R/tmp/src/examples" "$R/tmp/src/scripts/lib"
cp "${debs[@]}" "$R/tmp/debs/"
cp -r "$root/examples/consumer" "$root/examples/c" "$R/tmp/src/examples/"
cp "$root/scripts/lib/simulator.sh" "$R/tmp/src/scripts/lib/"
in_root_debs=()
for deb in "${debs[@]}"; do
  in_root_debs+=("/tmp/debs/$(basename "$deb")")
done
in_root apt-get install -y -qq --no-install-recommends "${in_root_debs[@]}" \
  > "$build/root-install.log" 2>&1 || {
  tail -20 "$build/root-install.log"
  fail "apt-get install of the packages failed in the root"
}
step "packages installed in the root"

cat > "$R/tmp/user.py" << 'PY'
"""The Python package as installed: from Debian's directory, the library through the loader."""
import sys

import torvek_attenuator
from torvek_attenuator import Attenuator, _library

port = sys.argv[1]
assert torvek_attenuator.__file__ == "/usr/lib/python3/dist-packages/torvek_attenuator/__init__.py"
with Attenuator(port, timeout=5.0) as att:
    assert att.position_steps == 17920, att.position_steps
    assert att.position_deg == 45.0, att.position_deg
    att.move_to(90.0)
    assert att.position_steps == 35840, att.position_steps
assert _library.load()._name == "libtorvek_attenuator.so.1", _library.load()._name
with open("/proc/self/maps") as maps:
    mapped = {line.split()[-1] for line in maps if "libtorvek_attenuator" in line}
assert mapped == {"/usr/lib/x86_64-linux-gnu/libtorvek_attenuator.so.1.0.0"}, mapped
print("python: read 45 degrees, moved to 90, through", mapped.pop())
PY
cat > "$R/tmp/user.sh" << 'SH'
set -euo pipefail
mkdir -p /tmp/work
cd /tmp/work
work=/tmp/work
sim=/usr/bin/attenuator-sim
source /tmp/src/scripts/lib/simulator.sh
trap stop_simulator EXIT

attenuatorctl --simulate tour > tour.out
grep -q "^Tour done: 13 operations, all as expected" tour.out || { cat tour.out; exit 1; }
echo "attenuatorctl --simulate tour: $(grep '^Tour done' tour.out)"

for page in attenuatorctl attenuator-sim; do
  MANPAGER=cat MANWIDTH=80 man "$page" > "$page.man" 2> "$page.man.err"
  grep -q -- "--help" "$page.man" || { cat "$page.man" "$page.man.err"; exit 1; }
  echo "man $page: $(head -1 "$page.man" | tr -s ' ')"
done

cmake -S /tmp/src/examples/consumer -B consumer > consumer.log
cmake --build consumer >> consumer.log
grep -q "TorvekAttenuator_DIR:PATH=/usr/lib/x86_64-linux-gnu/cmake/TorvekAttenuator" \
  consumer/CMakeCache.txt
./consumer/consumer

cc -std=c99 -Wall -Wextra -pedantic -Werror /tmp/src/examples/c/tour.c \
  $(pkg-config --cflags --libs torvek-attenuator) -o tour
echo "pkg-config: $(pkg-config --modversion torvek-attenuator), $(pkg-config --libs torvek-attenuator)"
start_simulator c-tour --baud 0 --speed 0 --optimize-ms 100 --clean-ms 100
./tour "$port" > c-tour.out
grep -q '^all operations succeeded$' c-tour.out || { cat c-tour.out; exit 1; }
stop_simulator
echo "C tour (pkg-config): all operations succeeded"

start_simulator python --baud 0 --speed 0 --position 17920
python3 /tmp/user.py "$port"
stop_simulator
SH
in_root bash /tmp/user.sh || fail "using the installed packages failed"
step "the packages work in the root"

# --- Purged, nothing left --------------------------------------------------------------------
in_root apt-get purge -y -qq "${packages[@]}" > "$build/root-purge.log" 2>&1 || {
  tail -20 "$build/root-purge.log"
  fail "apt-get purge failed"
}
left=$(in_root dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2> /dev/null |
  grep -v '^un ' || true)
[ -z "$left" ] || fail "still known to dpkg after the purge: $left"
in_root find /usr | sort > "$R/tmp/usr-after"
if ! diff "$R/tmp/usr-before" "$R/tmp/usr-after" > "$R/tmp/usr-diff"; then
  cat "$R/tmp/usr-diff"
  fail "/usr differs after the purge from before the install"
fi
ours=$(find "$R" -mindepth 1 -xdev \( -iname '*torvek*' -o -name 'attenuator*' \) -not -path "$R/tmp/*")
[ -z "$ours" ] || fail "left behind after the purge: $ours"
step "purged; nothing of the packages left; $((SECONDS - started)) s in all"

#!/usr/bin/env bash
# The Windows DLL: cross-builds it with mingw-w64 (preset mingw64), checks what it imports and
# exports, then runs the scenarios of tests/scenarios/ against it under Wine. The native
# scenario_device (from $BUILD_DIR) plays the devices on pseudo-terminals; Wine maps COM ports
# to stable links in front of them; scenario_host.exe drives the DLL through those ports.
# Then it makes the ZIP for Windows users (CPack), unpacks it and runs its attenuatorctl.exe, and
# a C program built against it, against attenuator-sim.
# Costs about 2 minutes from a clean tree on two busy cores (cross-build 60 to 80 s, a fresh Wine
# prefix 15 to 25 s, the runs under Wine about 40 s, the ZIP a few seconds), 20 to 40 s when
# both are kept. Bounded: a
# host run is killed after 30 s, a scenario is played at most 3 times, and no new run starts
# once 10 minutes have passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
win=${MINGW_BUILD_DIR:-$root/build-mingw64}
started=$SECONDS
cd "$root"

fail() {
  echo "50-windows: $*" >&2
  exit 1
}
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump wine wineserver; do
  command -v "$tool" > /dev/null || fail "$tool is missing (scripts/packages/windows.txt)"
done
device=$build/tests/scenarios/scenario_device
[ -x "$device" ] || fail "$device is missing: build the native tree first"

# --- Cross-build ---------------------------------------------------------------------------
mkdir -p "$win"
cmake --preset mingw64 -B "$win" > "$win/configure.log" 2>&1 || {
  cat "$win/configure.log"
  fail "configuring the cross-build failed"
}
cmake --build "$win" -j2 > "$win/build.log" 2>&1 || {
  tail -50 "$win/build.log"
  fail "the cross-build failed"
}
if grep -q "warning:" "$win/build.log"; then
  grep "warning:" "$win/build.log" | head -20
  fail "the cross-build has warnings"
fi
bin=$win/bin
dll=$bin/torvek_attenuator.dll
# The scenarios run through the C++ class and, once the library has its C interface, through
# that from C code as well.
hosts=(scenario_host)
[ -f "$root/include/torvek/attenuator.h" ] && hosts+=(scenario_host_c)
for file in "$dll" "$win/src/libtorvek_attenuator.dll.a" "${hosts[@]/#/$bin/}"; do
  [ -f "$file" ] || [ -f "$file.exe" ] || fail "$file was not built"
done

# Linked with -static, the DLL needs nothing but what every Windows has (ADVAPI32: the registry,
# where the serial ports and their USB identities are listed).
imports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | sort | tr '\n' ' ')
[ "$imports" = "ADVAPI32.dll KERNEL32.dll WS2_32.dll msvcrt.dll " ] ||
  fail "torvek_attenuator.dll imports $imports(only ADVAPI32, KERNEL32, msvcrt and WS2_32 expected)"
# Only the public interface is exported: the C++ class in TORVEK, and the C functions.
exports=$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p')
[ -n "$exports" ] || fail "torvek_attenuator.dll exports nothing"
if stray=$(grep -v -e '^_ZN6TORVEK' -e '^_ZNK6TORVEK' -e '^torvek_att_' <<< "$exports"); then
  fail "torvek_attenuator.dll exports more than its interface: $(head -5 <<< "$stray" | tr '\n' ' ')"
fi
echo "50-windows: cross-built in $((SECONDS - started)) s; the DLL imports $imports"

# --- The ZIP a Windows user unpacks (CPack) ---------------------------------------------------
rm -f "$win"/*.zip
cmake --build "$win" --target package > "$win/package.log" 2>&1 || {
  tail -30 "$win/package.log"
  fail "making the ZIP failed"
}
zips=("$win"/torvek-attenuator-*-win64.zip)
[ -f "${zips[0]}" ] && [ ${#zips[@]} -eq 1 ] || fail "expected one torvek-attenuator-*-win64.zip in $win"
zip=${zips[0]}
unpacked=$win/unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$zip")
top=$unpacked/$(basename "$zip" .zip)
for file in bin/torvek_attenuator.dll bin/attenuatorctl.exe lib/libtorvek_attenuator.dll.a \
  include/torvek/attenuator.h include/torvek/AttenuatorHandler.h include/torvek/Export.h \
  lib/cmake/TorvekAttenuator/TorvekAttenuatorConfig.cmake \
  lib/cmake/TorvekAttenuator/TorvekAttenuatorTargets.cmake README.md; do
  [ -f "$top/$file" ] || fail "$(basename "$zip") lacks $file"
done
# Nothing but what a Windows user needs: no test programs, no Python package, no man pages.
extra=$(cd "$top" && find . -type f | sed 's|^\./||' | grep -v -e '^bin/torvek_attenuator\.dll$' \
  -e '^bin/attenuatorctl\.exe$' -e '^lib/libtorvek_attenuator\.dll\.a$' -e '^include/torvek/' \
  -e '^lib/cmake/TorvekAttenuator/' -e '^README\.md$' -e '^LICENSE$' || true)
[ -z "$extra" ] || fail "$(basename "$zip") holds more than expected: $(echo $extra)"
# Every DLL the programs import is Windows' own or in the ZIP's bin/.
for program in "$top"/bin/*.exe "$top"/bin/*.dll; do
  for import in $(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p'); do
    case ${import,,} in
      kernel32.dll | msvcrt.dll | ws2_32.dll | advapi32.dll) ;;  # advapi32: the registry's COM ports
      *) [ -f "$top/bin/$import" ] ||
        fail "$(basename "$program") imports $import, which the ZIP does not hold" ;;
    esac
  done
done
echo "50-windows: $(basename "$zip"), $(stat -c %s "$zip") bytes: $(cd "$top" && find . -type f | wc -l) files"

# --- Wine ----------------------------------------------------------------------------------
export WINEPREFIX=$win/wine-prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
links=$win/ports
mkdir -p "$links"
# Port k of a scenario is the k-th of these names; the registry maps each to $links/portK,
# which scenario_device points at the pseudo-terminal of its device k. Both ways of naming a
# port are used, the sets taking turns from scenario to scenario: "COM5" and "\\.\COM11", then
# "\\.\COM5" and "COM11" (as it happens, closing.scn opens "\\.\COM11", unplugged.scn "COM11").
registry_names=(COM5 COM11 COM7)
port_name_sets=('COM5,\\.\COM11,COM7' '\\.\COM5,COM11,\\.\COM7')

# Wine would map COMn to /dev/ttyS(n-1) when that exists; the registry entries take
# precedence. Making the prefix is the slow part, so it is kept between runs.
stamp=$WINEPREFIX/.torvek-ports
if [ "$(cat "$stamp" 2> /dev/null)" != "$links" ]; then
  rm -rf "$WINEPREFIX"
  t=$SECONDS
  timeout 300 wineboot -i > "$win/wineboot.log" 2>&1 || {
    cat "$win/wineboot.log"
    fail "wineboot failed"
  }
  for k in "${!registry_names[@]}"; do
    timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v "${registry_names[$k]}" /t REG_SZ \
      /d "$links/port$k" /f >> "$win/wineboot.log" 2>&1
  done
  timeout 60 wineserver -w
  echo "$links" > "$stamp"
  echo "50-windows: Wine prefix made in $((SECONDS - t)) s"
fi

sim=$build/tools/sim/attenuator-sim
sim_pid=
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2> /dev/null || true
    wait "$sim_pid" 2> /dev/null || true
    sim_pid=
  fi
}
# start_sim: attenuator-sim behind the link that COM5 leads to.
start_sim() {
  rm -f "$links/port0"
  "$sim" --link "$links/port0" > "$win/sim.out" 2> "$win/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -L "$links/port0" ] && return 0
    sleep 0.1
  done
  cat "$win/sim.err"
  fail "attenuator-sim made no port"
}
# run_against_sim NAME EXPECTED COMMAND...: one program under Wine, talking to COM5, with a
# fresh simulator; up to three attempts, as for the scenarios.
run_against_sim() {
  local name=$1 expected=$2 t=$SECONDS rc attempt
  shift 2
  count=$((count + 1))
  for attempt in 1 2 3; do
    [ $((SECONDS - started)) -lt 600 ] || fail "over its 10 minutes; stopped before $name"
    rc=0
    start_sim
    timeout 60 wine "$@" > "$win/$name.log" 2>&1 || rc=$?
    stop_sim
    # Windows programs end their lines in CR LF.
    if [ "$rc" -eq 0 ] && tr -d '\r' < "$win/$name.log" | grep -q "$expected"; then
      echo "50-windows: $name passed under Wine at attempt $attempt ($((SECONDS - t)) s)"
      return 0
    fi
    echo "50-windows: $name FAILED under Wine at attempt $attempt of 3 (exit $rc):"
    sed 's/^/    /' "$win/$name.log"
  done
  failed=$((failed + 1))
}

# One server for all runs. -f keeps it out of a session of its own: as a session leader it
# would take the first pseudo-terminal it opens as its controlling terminal and, when the
# device closes that, answer the hang-up signal with a dump of all its objects.
wineserver -k > /dev/null 2>&1 || true
wineserver -f -p > "$win/wineserver.log" 2>&1 &
trap 'stop_sim; wineserver -k > /dev/null 2>&1 || true' EXIT
# The first program starts Wine's helper processes, which live as long as the server; they
# inherit this run's output, so it goes to a file, not to a pipe someone waits on.
timeout 120 wine "$bin/scenario_host.exe" > "$win/warmup.log" 2>&1 || true
grep -q "usage: scenario_host" "$win/warmup.log" || {
  cat "$win/warmup.log"
  fail "scenario_host.exe does not run under Wine"
}

export SCENARIO_SHOW_TIMES=1
failed=0
count=0
log=$win/scenarios.log
: > "$log"
for h in "${!hosts[@]}"; do
  host=${hosts[$h]}
  t=$SECONDS
  passed=()
  i=0
  for scn in "$root"/tests/scenarios/*.scn; do
    name=$(basename "$scn" .scn)
    port_names=${port_name_sets[$(((h + i) % 2))]}
    i=$((i + 1))
    count=$((count + 1))
    out=$win/$host.$name.log
    [ $((SECONDS - started)) -lt 600 ] || fail "over its 10 minutes; stopped before $host $name"
    if "$device" "$scn" --links "$links" --port-names "$port_names" --host-scenario "Z:$scn" \
      --timeout 30 --attempts 3 -- wine "$bin/$host.exe" > "$out" 2>&1; then
      passed+=("$name")
      if grep -q "attempt 1 of 3 FAILED" "$out"; then
        echo "50-windows: $host.exe, scenario $name passed only at a later attempt; before:"
        sed -n '1,/passed at attempt/p' "$out" | grep -v " took " | sed 's/^/    /'
      fi
    else
      failed=$((failed + 1))
      echo "50-windows: $host.exe, scenario $name FAILED under Wine:"
      sed 's/^/    /' "$out"
    fi
    cat "$out" >> "$log"
  done
  echo "50-windows: $host.exe passed ${passed[*]:-nothing} in $((SECONDS - t)) s"
done

# --- The programs a Windows user runs, against attenuator-sim --------------------------------
# Both from the unpacked ZIP, as a Windows user runs them.
[ -x "$sim" ] || fail "$sim is missing"
run_against_sim attenuatorctl.exe-tour "^Tour done: 13 operations, all as expected" \
  "$top/bin/attenuatorctl.exe" --port COM5 tour
# The wire trace of the DLL, to a file: the whole exchange of the call is in it.
rm -f "$win/trace.log"
export TORVEK_ATTENUATOR_TRACE="Z:$win/trace.log"
run_against_sim attenuatorctl.exe-trace "^Ok$" "$top/bin/attenuatorctl.exe" --port COM5 status
unset TORVEK_ATTENUATOR_TRACE
count=$((count + 1))
if tr -d '\r' < "$win/trace.log" 2> /dev/null | grep -q "#[0-9]* host   0gs" &&
  tr -d '\r' < "$win/trace.log" | grep -q "#[0-9]* result GetCurrentStatus: Ok"; then
  echo "50-windows: the DLL's wire trace holds the status exchange"
else
  failed=$((failed + 1))
  echo "50-windows: the DLL's wire trace lacks the status exchange:"
  sed 's/^/    /' "$win/trace.log" 2> /dev/null
fi

# A C program built as a Windows user builds one: against the ZIP's headers and import
# library, with the C compiler alone.
x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -pedantic -Werror -I"$top/include" \
  "$root/examples/c/tour.c" -L"$top/lib" -ltorvek_attenuator -o "$top/bin/tour.exe" ||
  fail "examples/c/tour.c does not build against the ZIP"
run_against_sim c-tour.exe "^all operations succeeded$" "$top/bin/tour.exe" COM5

if [ -s "$win/wineserver.log" ]; then
  echo "50-windows: wineserver said $(wc -l < "$win/wineserver.log") lines; see $win/wineserver.log"
fi
echo "50-windows: $((count - failed)) of $count runs passed under Wine; $((SECONDS - started)) s in all"
[ "$failed" -eq 0 ]

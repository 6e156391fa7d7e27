#!/usr/bin/env bash
# attenuatorctl ports, ports --probe and --port auto, on /dev and /sys trees of our own
# (TORVEK_ATTENUATOR_SYSROOT) whose ports lead to attenuator-sim processes: what a user sees of
# the machine's ports, exactly, without hardware. About 10 s, most of it ports where nothing
# answers (each is asked three times, 200 ms each).
set -uo pipefail
sim=$1
ctl=$2
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null; done
  rm -rf "$work" "${reach:-}"
}
trap cleanup EXIT
source "$(dirname "$0")/expect.sh"

# start_sim LINK ARGS...: attenuator-sim with LINK leading to its pty, once it is there.
start_sim() {
  local link=$1
  shift
  "$sim" --link "$link" "$@" > /dev/null 2>&1 &
  pids+=("$!")
  for _ in $(seq 100); do
    [[ -L $link ]] && return
    sleep 0.1
  done
  echo "FAIL: attenuator-sim made no $link"
  exit 1
}

# attr DIR NAME VALUE: a sysfs attribute file.
attr() { mkdir -p "$1" && printf '%s\n' "$3" > "$1/$2"; }

# --- A machine with a USB adapter (by-id link), an ACM device and on-board UARTs ----------
t=$work/usb
mkdir -p "$t/dev/serial/by-id" "$t/sys/class/tty" "$t/sys/bus/usb/drivers/"{exser,cdc_acm} \
  "$t/sys/bus/pnp/drivers/serial"
touch "$t/dev/"{ttyUSB0,ttyUSB2,ttyUSB10,ttyACM0,ttyS0,ttyS1,ttyS2,tty0}
ln -s ../../ttyUSB0 "$t/dev/serial/by-id/usb-Example_Serial_Cable_TA0001-if00-port0"
adapter=$t/sys/devices/pci0/usb1/1-2
for a in "idVendor 1a2b" "idProduct 3c4d" "serial TA0001" "manufacturer Example" \
         "product Serial Cable"; do attr "$adapter" "${a%% *}" "${a#* }"; done
mkdir -p "$adapter/1-2:1.0/ttyUSB0" "$t/sys/class/tty/"{ttyUSB0,ttyACM0,ttyS0,ttyS1,ttyS2}
ln -s ../../../../../bus/usb/drivers/exser "$adapter/1-2:1.0/driver"
ln -s ../../../devices/pci0/usb1/1-2/1-2:1.0/ttyUSB0 "$t/sys/class/tty/ttyUSB0/device"
# The adapter holds replies 16 ms, as such adapters do by default: too long, says the listing.
attr "$adapter/1-2:1.0/ttyUSB0" latency_timer 16
modem=$t/sys/devices/pci0/usb1/1-3
for a in "idVendor 4d5e" "idProduct 0001" "manufacturer Example Labs" "product Bench Unit"; do
  attr "$modem" "${a%% *}" "${a#* }"
done
mkdir -p "$modem/1-3:1.0"
ln -s ../../../../../bus/usb/drivers/cdc_acm "$modem/1-3:1.0/driver"
ln -s ../../../devices/pci0/usb1/1-3/1-3:1.0 "$t/sys/class/tty/ttyACM0/device"
# ttyS0 is a chip the kernel found; ttyS1 a slot it probed empty (type 0); ttyS2 has no device.
mkdir -p "$t/sys/devices/pnp0/00:04/tty" "$t/sys/devices/platform/serial8250"
ln -s ../../../bus/pnp/drivers/serial "$t/sys/devices/pnp0/00:04/driver"
ln -s ../../../devices/pnp0/00:04 "$t/sys/class/tty/ttyS0/device"
ln -s ../../../devices/platform/serial8250 "$t/sys/class/tty/ttyS1/device"
attr "$t/sys/class/tty/ttyS0" type 4
attr "$t/sys/class/tty/ttyS1" type 0

export TORVEK_ATTENUATOR_SYSROOT=$t
expect 0 "ports" "/dev/ttyACM0
  usb id        4d5e:0001
  manufacturer  Example Labs
  product       Bench Unit
  driver        cdc_acm
  access        may open

/dev/ttyS0
  driver        serial
  access        may open

/dev/ttyUSB0
  by-id         /dev/serial/by-id/usb-Example_Serial_Cable_TA0001-if00-port0
  usb id        1a2b:3c4d
  manufacturer  Example
  product       Serial Cable
  serial        TA0001
  driver        exser
  latency timer 16 ms (replies wait for it; the library asks the driver for low latency when it opens the port, and the wire trace's open line says whether it took)
  access        may open

/dev/ttyUSB2
  access        may open

/dev/ttyUSB10
  access        may open"
rm "$t/dev/"{ttyACM0,ttyS0,ttyUSB2,ttyUSB10}
expect 0 "--json ports" '{"command":"ports","result":"Ok","status":0,"ports":[{"path":"/dev/ttyUSB0","by_id":["/dev/serial/by-id/usb-Example_Serial_Cable_TA0001-if00-port0"],"vendor_id":"1a2b","product_id":"3c4d","serial":"TA0001","manufacturer":"Example","product":"Serial Cable","driver":"exser","latency_timer_ms":16,"may_open":true}]}'
# Regular files are no serial ports: the probe says so, and never writes to them.
expect 0 "ports --probe" "/dev/ttyUSB0
  by-id         /dev/serial/by-id/usb-Example_Serial_Cable_TA0001-if00-port0
  usb id        1a2b:3c4d
  manufacturer  Example
  product       Serial Cable
  serial        TA0001
  driver        exser
  latency timer 16 ms (replies wait for it; the library asks the driver for low latency when it opens the port, and the wire trace's open line says whether it took)
  access        may open
  probe         refused: not a terminal device"
check_empty() {
  cases=$((cases + 1))
  if [[ ! -s $t/dev/ttyUSB0 ]]; then echo "ok    nothing written to a refused port"; else
    failures=$((failures + 1))
    echo "FAIL: the probe wrote to a regular file"
  fi
}
check_empty
expect 2 "--port /dev/ttyUSB0 ports" "" "ports looks at every port"

# --- Nothing at all --------------------------------------------------------------------
export TORVEK_ATTENUATOR_SYSROOT=$work/empty
mkdir -p "$work/empty"
expect 0 "ports" "no serial ports: is the adapter plugged in? (dmesg shows what the system saw of it)"
expect 0 "--json ports --probe" '{"command":"ports","result":"Ok","status":0,"ports":[]}'
expect 3 "--port auto status" "" "attenuatorctl status: --port auto: there are no serial ports
  hint: is the adapter plugged in?"

# --- One attenuator --------------------------------------------------------------------
t=$work/one
mkdir -p "$t/dev" "$t/var/lock"
start_sim "$t/dev/ttyUSB0"
export TORVEK_ATTENUATOR_SYSROOT=$t
probed="/dev/ttyUSB0
  access        may open
  probe         attenuator: 1234ABCD 0102 03 04, 360 degrees, 143360 steps per revolution"
expect 0 "ports --probe" "$probed"
expect 0 "--port auto status" "Ok" "attenuatorctl: --port auto: /dev/ttyUSB0"
expect 0 "--port auto --json position --steps" \
  '{"command":"position","result":"Ok","status":0,"steps":0,"port":"/dev/ttyUSB0"}' "/dev/ttyUSB0"
# A lock file of a live process keeps the probe away; that of a dead one does not.
printf '%10d\n' $$ > "$t/var/lock/LCK..ttyUSB0"
locked="/dev/ttyUSB0
  locked by     process $$ (/var/lock/LCK..ttyUSB0)
  access        may open
  probe         busy: locked by process $$ (/var/lock/LCK..ttyUSB0)"
expect 0 "ports --probe" "$locked"
expect 3 "--port auto status" "" "no attenuator answered on any serial port
  hint: is the device powered and connected? Below, each port and what it said
$locked"
sh -c 'exit 0' &
dead=$!
wait "$dead"
printf '%10d\n' "$dead" > "$t/var/lock/LCK..ttyUSB0"
expect 0 "ports --probe" "$probed"
rm "$t/var/lock/LCK..ttyUSB0"

# --- Two attenuators, and ports where none answers ---------------------------------------
start_sim "$t/dev/ttyACM0" --ident-a 5678EFGH
expect 3 "--json --port auto status" '{"command":"status","result":"error","error":"--port auto: attenuators answered on 2 ports: /dev/ttyACM0, /dev/ttyUSB0","hint":"choose one with --port","exit_code":3,"ports":[{"path":"/dev/ttyACM0","by_id":[],"may_open":true,"probe":"attenuator","ident_a":"5678EFGH","ident_b":"0102","ident_c":"03","ident_d":"04","degrees_per_revolution":360,"pulses_per_revolution":143360},{"path":"/dev/ttyUSB0","by_id":[],"may_open":true,"probe":"attenuator","ident_a":"1234ABCD","ident_b":"0102","ident_c":"03","ident_d":"04","degrees_per_revolution":360,"pulses_per_revolution":143360}]}' \
  "attenuators answered on 2 ports"
t=$work/mute
mkdir -p "$t/dev"
start_sim "$t/dev/ttyUSB0" --silent-after 0
start_sim "$t/dev/ttyUSB1" --silent-after 1
export TORVEK_ATTENUATOR_SYSROOT=$t
expect 3 "--timeout 400 --port auto info" "" "attenuatorctl info: --port auto: no attenuator answered on any serial port
  hint: is the device powered and connected? Below, each port and what it said
/dev/ttyUSB0
  access        may open
  probe         no answer

/dev/ttyUSB1
  access        may open
  probe         no answer: it identified itself, then its record did not come: ReplyTimeout"

# --- As a user who may not open the port -------------------------------------------------
# root may open anything, so root runs these as nobody, with a copy of the tool and its
# library where nobody reaches them (as in simulate_test.sh). nobody runs the simulator too,
# so that it owns the pty and the exclusive mode, not the permissions, decides.
reach=$(mktemp -d /tmp/attenuatorctl-ports.XXXXXX)
for binary in "$ctl" "$sim"; do
  cp "$binary" "$reach/"
  while read -r soname path; do
    cp -L "$path" "$reach/$soname"
  done < <(ldd "$binary" | awk '$1 ~ /^libtorvek/ && $3 ~ /^\// { print $1, $3 }')
done
mkdir -p "$reach/tree/dev"
touch "$reach/tree/dev/ttyUSB0"
chgrp dialout "$reach/tree/dev/ttyUSB0" && chmod 660 "$reach/tree/dev/ttyUSB0"
chmod -R a+rX "$reach" && chmod 1777 "$reach/tree/dev"
if [[ $(id -u) == 0 ]] && command -v setpriv > /dev/null; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups
             env "LD_LIBRARY_PATH=$reach" "TORVEK_ATTENUATOR_SYSROOT=$reach/tree")
  for binary in attenuatorctl attenuator-sim; do
    printf '#!/bin/sh\nexec %s %s "$@"\n' "${as_nobody[*]}" "$reach/$binary" > "$work/$binary"
    chmod +x "$work/$binary"
  done
  ctl=$work/attenuatorctl
  # shellcheck disable=SC2016  # "$USER" is what the user is told to type
  denied='/dev/ttyUSB0
  access        may not open: the port belongs to group '"'dialout'"': sudo usermod -aG dialout "$USER", then log out and in again'
  expect 0 "ports" "$denied"
  expect 0 "ports --probe" "$denied
  probe         not permitted: Permission denied"
  expect 0 "--json ports" '{"command":"ports","result":"Ok","status":0,"ports":[{"path":"/dev/ttyUSB0","by_id":[],"may_open":false,"group":"dialout"}]}'

  # A program holding the port in exclusive mode (TIOCEXCL) keeps the probe away.
  rm "$reach/tree/dev/ttyUSB0"
  sim=$work/attenuator-sim
  start_sim "$reach/tree/dev/ttyUSB1"
  "${as_nobody[@]}" /usr/bin/python3 -c '
import fcntl, os, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.ioctl(fd, termios.TIOCEXCL)
print("held", flush=True)
time.sleep(60)' "$reach/tree/dev/ttyUSB1" > "$work/held" &
  pids+=("$!")
  for _ in $(seq 50); do [[ -s $work/held ]] && break; sleep 0.1; done
  expect 0 "ports --probe" "/dev/ttyUSB1
  access        may open
  probe         busy: another program holds it in exclusive mode"
else
  echo "skip  not permitted and exclusive mode (not root, or no setpriv)"
fi

summary

#!/usr/bin/env bash
# usage: bench.sh TAVREL, under tavrel-bridge-emu with parts 1-1 (serial S1), 1-2 (S2) and two identical
# parts without serials (1-3, 1-4). A shared bench: choosing the part, ports other programs hold, port B.
# Which part the program took is read from `tavrel --list` (its claim shows as "in use by PID n (tavrel)").
set -u
tavrel=$1 failed=0 pids=()
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-bench.XXXXXX")
trap 'kill -9 "${pids[@]}" 2>/dev/null; rm -rf "$tmp"' EXIT
export QT_QPA_PLATFORM=offscreen
fail() { echo "FAIL: $*"; failed=1; }
ctl() { echo "$*" >"$TAVREL_EMU_CONTROL"; }
# start NAME ARGS...: the program in the background, stderr in $tmp/NAME
start() { local name=$1; shift; "$tavrel" --bridge usb "$@" >"$tmp/$name" 2>&1 & pids+=($!); }
stop() { kill -TERM "${pids[@]}" 2>/dev/null; wait "${pids[@]}" 2>/dev/null; pids=(); }
# until PATTERN COMMAND...: polls COMMAND's output for PATTERN, 0.1 s apart, for up to 20 s
until_out() {
    local pattern=$1 i; shift
    for ((i = 0; i < 200; i++)); do "$@" 2>&1 | grep -qE -- "$pattern" && return 0; sleep 0.1; done
    fail "no '$pattern' in: $("$@" 2>&1)"
}
# ttyback LOCATION: both ports' ttys are there again, at once after the program's exit
ttyback() { compgen -G "/sys/bus/usb/devices/$1:1.[01]/tty*" | wc -l | grep -q 2 || fail "ttys of $1 not back"; }
taken() { until_out "^Dual RS232-HS $1 .* $2 .*in use by .*PID ${pids[-1]} \(tavrel\)" "$tavrel" --list; }

# name|arguments|stderr says|location taken
rows=(
  'first|-|4 bridges with a port A: taking the first listed.* at 1-1\); not .* at 1-2|1-1'
  'serial|--serial=S2B|^tavrel: bridge usb|1-2'
  'locate|--location=1-4|^tavrel: bridge usb|1-4'
)
for row in "${rows[@]}"; do
    IFS='|' read -r name args says at <<<"$row"
    [ "$args" = - ] && args=''
    start "$name" $args
    taken A "$at"; taken B "$at" # port B is held while port A is in MCU host-bus mode
    until_out "$says" cat "$tmp/$name"
    stop
done
start none --serial NOPE
until_out "no bridge with serial 'NOPE'; found .*serial S1A, at 1-1.*serial -, at 1-4\); running as" cat "$tmp/none"
stop
TAVREL_LOCATION=1-3 start env --serial S1 # the command line's choice replaces the environment's
taken A 1-1
stop

# A terminal program on port A's tty: said once, taken once it lets go; the tty comes back after the exit.
ctl hold 1 A
until_out '^Dual RS232-HS A .* 1-1 .* in use by' "$tavrel" --list
start tty
until_out 'A \(1-1\) is in use by PID [0-9]+ \(.*\) on /dev/ttyUSB[0-9]+: not taken' cat "$tmp/tty"
ctl free 1 A
taken A 1-1
stop
[ "$(grep -c 'is in use by' "$tmp/tty")" = 1 ] || fail "said more than once: $(cat "$tmp/tty")"
ttyback 1-1

# Another libusb program (a second Tavrel) has port A: refused, naming it; taken when it ends.
start holder --location 1-3
taken A 1-3
holder=${pids[0]}
start second --location 1-3
until_out "A \(1-3\) is claimed by .*PID $holder \(tavrel\)" cat "$tmp/second"
kill -TERM "$holder"; wait "$holder"
taken A 1-3
stop

# Port B's tty held: the mode is refused, naming the holder; port A's tty stays away meanwhile (the
# program retries at once), and both come back after the exit.
ctl hold 3 B
until_out '^Dual RS232-HS B .* 1-3 .* in use by' "$tavrel" --list
start portb --location 1-3
until_out 'B \(1-3\) is in use by PID .* MCU host-bus mode on .* A \(1-3\) .*: mode not set' cat "$tmp/portb"
for ((i = 0; i < 200; i++)); do
    ! compgen -G '/sys/bus/usb/devices/1-3:1.0/tty*' >/dev/null || { fail "port A's tty came back"; break; }
    sleep 0.01
done
stop
ttyback 1-3
ctl free 3 B
exit $failed

#!/usr/bin/env bash
# usage: e2e_trace.sh EMULATOR TAVREL. The same run traced on the simulated bridge and, under the
# bridge emulator, on the USB driver: start, connect, the first frame and cycle, then SIGTERM. On each
# bridge the decoded bus cycles of --trace must be the part's own (the model's trace); across the two,
# the decoded events must be the same, apart from times, the description, how often synchronisation
# resent 0xaa (it waits on the part's latency timer) and the values of the two status registers,
# which follow the model's clock. A .vcd trace of the USB run must be complete.
set -euo pipefail
emulator=$1 tavrel=$2 pid=''
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-e2e-trace.XXXXXX")
trap '[ -z "$pid" ] || kill -9 $pid 2>/dev/null; rm -rf "$tmp"' EXIT
die() { echo "e2e_trace: FAIL: $*" >&2; exit 1; }
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$tmp/runtime" TAVREL_SIM_DEVICES="Sim Bridge"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# run NAME FILE BRIDGE [EMULATOR ARGS... --]: the program until its first indicator write after a
# frame (polled every 0.1 s for up to 20 s), then SIGTERM; it must exit 0.
run() {
    local name=$1 trace=$tmp/$2 bridge=$3 i app; shift 3
    # A script's background job starts with SIGINT ignored; a program in a terminal does not.
    TAVREL_SIM_TRACE="$tmp/$name.model" env --default-signal=INT "$@" \
        "$tavrel" --bridge "$bridge" --trace "$trace" >"$tmp/$name.log" 2>&1 &
    pid=$!
    for ((i = 0; i < 200; i++)); do
        grep -qE '^[0-9]+ busw 04 ' "$tmp/$name.model" 2>/dev/null && break
        sleep 0.1
    done
    app=$(pgrep -P $pid -x tavrel || echo $pid)
    kill -TERM "$app"
    wait $pid || die "$name: exit status $?; $(cat "$tmp/$name.log")"
    pid=''
}
run sim sim.trace sim
run usb usb.trace usb "$emulator" --device "Sim Bridge,EMU00001" --
run vcd vcd.vcd usb "$emulator" --device "Sim Bridge,EMU00001" --

# Bus cycles as the part saw them, and as the host decoded them.
for name in sim usb; do
    cycles() { awk '$2 == "busw" || $2 == "busr" { print $2, $3, $4 }' "$1"; }
    diff <(cycles "$tmp/$name.model") <(cycles "$tmp/$name.trace") >"$tmp/diff" \
        || die "$name: decoded cycles differ from the part's: $(head -n 20 "$tmp/diff")"
done
# The decoded events, normalised as said above.
events() {
    awk '$2 == "write" || $2 == "read" { next } $2 == "busr" && ($3 == "00" || $3 == "01") { $4 = "--" }
        { $1 = ""; line = $2 == "open" ? "open" : substr($0, 2) }
        line != last || $2 != "echo" { print line; last = line }' "$1"
}
# From the listing that led to the connection with the first indicator write (a busy machine may
# fail a synchronisation first) to that write.
first() { events "$1" | awk '$1 == "list" { n = 0 } { l[n++] = $0 } $1 == "busw" && $2 == "04" { exit }
    END { for (i = 0; i < n; i++) print l[i] }'; }
# A bus cycle is decoded when it is written, an echo when its answer is read: where an echo falls
# among the cycles depends on when the host read: the echoes of the whole run are compared apart, as a set.
apart() { first "$1" | grep -v '^echo '; events "$1" | grep '^echo ' | sort -u; }
diff <(apart "$tmp/sim.trace") <(apart "$tmp/usb.trace") >"$tmp/diff" || die "sim and usb differ: $(cat "$tmp/diff")"
for name in sim usb; do
    [ "$(events "$tmp/$name.trace" | tail -n 2 | paste -sd' ')" = "busw 00 00 close" ] \
        || die "$name: the trace does not end with the stop's write and the close"
done
# The VCD: its declarations, then changes; the link closed at the end.
grep -qx '$var wire 1 ! link $end' "$tmp/vcd.vcd" && grep -q '^$var reg 8 . reg04 \$end$' "$tmp/vcd.vcd" \
    && [ "$(tail -n 1 "$tmp/vcd.vcd")" = '0!' ] || die "incomplete VCD: $(head -n 20 "$tmp/vcd.vcd")"
echo "e2e_trace: PASS ($(first "$tmp/sim.trace" | wc -l) events alike)"

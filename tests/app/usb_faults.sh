#!/usr/bin/env bash
# The program over USB under the emulator, through a table of faults or N unplug cycles (--soak N).
# A row sends FAULT once the trace matches WHEN, MEND a second later; then 写入 brings the frame.
set -euo pipefail
usage() { echo "usage: $0 WMCLOSE EMU [--soak N] -- TAVREL [ARGS...]" >&2; exit 2; }
[ $# -ge 4 ] || usage
wmclose=$1 emu=$2 soak=0
shift 2
[ "$1" != --soak ] || { soak=${TAVREL_USB_SOAK_CYCLES:-$2}; shift 2; }
[ "$1" = -- ] || usage
shift
me=usb-faults
source "$(dirname "$0")/xsession.sh"
ctl=$tmp/control trace=$tmp/trace
send() { echo "$1" >"$ctl"; }
ab_after() { tail -n +"$(($1 + 1))" "$trace" | grep -qi " frame $ab\$"; }

launch() {
    rm -f "$trace" "$tmp/mended" && touch "$trace" && { [ -p "$ctl" ] || mkfifo "$ctl"; }
    "$emu" --control "$ctl" --trace "$trace" -- "$@" >"$tmp/app.log" 2>&1 &
    app_pid=$!
}
write_ab() { find_window && type_ab && xdotool key Tab space; }
finish() {
    close_app 1
    # Each frame whole: from its begin, one write to address 0 and 29 to address 1.
    awk '{ $0 = tolower($0) } $2 == "busw" && $3 == "02" { a = 0; b = 0 }
        $2 == "busw" && $3 == "00" { a++ } $2 == "busw" && $3 == "01" { b++ }
        $2 == "frame" && (a != 1 || b != 29 || ($3 != ab && $3 != zeros)) { print; bad = 1 }
        END { exit bad }' ab="$ab" zeros="$zeros" "$trace" || die "a frame reached the part half-written"
}

if [ "$soak" -gt 0 ]; then
    launch "$@" && write_ab
    poll 20 ab_after 0 || die "no frame with ab"
    figures() { # open files, threads, RSS of the program
        local p
        read -r p </proc/"$app_pid"/task/"$app_pid"/children
        ls /proc/"$p"/fd | wc -l | tr '\n' ' '
        awk '{ v[$1] = $2 } END { print v["Threads:"], v["VmRSS:"] }' /proc/"$p"/status
    }
    for ((cycle = 1; cycle <= soak; cycle++)); do
        row="cycle $cycle" at=$(wc -l <"$trace")
        send "unplug 1"
        poll 10 eval 'tail -n +$at "$trace" | grep -q " unplug "' || die "not unplugged"
        send "plug 1"
        poll 20 ab_after "$at" || die "no frame with ab after the re-plug"
        [ "$cycle" -ne 3 ] || read -r fds0 threads0 rss0 <<<"$(figures)"
    done
    read -r fds threads rss <<<"$(figures)"
    row="files, threads, RSS after cycle 3: $fds0 $threads0 $rss0; after $soak: $fds $threads $rss"
    [ "$fds $threads" = "$fds0 $threads0" ] && [ $((rss - rss0)) -lt "${SOAK_RSS_KIB:-4096}" ] || die "not flat"
    finish
    echo "$me: PASS ($row)"
    exit 0
fi

# NAME | WHEN (regex on the trace) | FAULT | MEND
table='listing: gone before it is listed | plug " | unplug 1 | plug 1
open: unplugged as the port is claimed | open " | unplug 1 | plug 1
init: unplugged as the mode is set | bitmode .. 08 | unplug 1 | plug 1
sync: unplugged as it synchronises | write aa | unplug 1 | plug 1
cycling: unplugged while frames go out | frame 0{14}ab | unplug 1 | plug 1
open: the bit-mode request fails | plug " | fail 1 11 |
cycling: IN endpoint halted | frame 0{14}ab | stall 1 A |
cycling: OUT refused past the write time-out | frame 0{14}ab | nak 1 A 5500 |
cycling: the command processor falls silent | frame 0{14}ab | silent 1 A | speak 1 A'
while IFS='|' read -r name when fault mend; do
    row=$(echo $name) when=$(echo $when)
    launch "$@"
    (grep -q -m1 -E "$when" < <(tail -F -n +1 --pid="$app_pid" "$trace" 2>/dev/null) && send "$(echo $fault)" &&
        sleep 1 && wc -l <"$trace" >"$tmp/mended" && send "$(echo $mend)") &
    write_ab
    poll 20 test -s "$tmp/mended" || die "the fault never fired"
    xdotool key space
    poll 20 ab_after "$(cat "$tmp/mended")" || die "no frame with ab after the fault"
    finish
    echo "$me: $row: passed"
done <<<"$table"
echo "$me: PASS"

#!/usr/bin/env bash
# The real program over USB under the bridge emulator, through one table of USB-level faults, or
# through N unplug/re-plug cycles (--soak N; TAVREL_USB_SOAK_CYCLES overrides N). Each row starts
# the program afresh, types index 7 and value ab, presses 写入, and sends the row's FAULT (control
# lines, ';' between them) to the emulator as soon as its trace matches WHEN, the MEND a second
# later. Then 写入 again must bring a frame with ab (the program reconnected where it had to), the
# window must close within a second of a close request, and every frame shown was written whole.
# The soak keeps one program through the cycles: open files and threads stay the same, memory
# grows by less than SOAK_RSS_KIB.
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
send() { local line; IFS=';' read -ra lines <<<"$1"; for line in "${lines[@]}"; do echo "$line" >"$ctl"; done; }
lines() { wc -l <"$trace"; }
# A frame with ab after line $1 of the trace.
ab_after() { tail -n +"$(($1 + 1))" "$trace" | grep -qi " frame $ab\$"; }
visible() { xdotool search --onlyvisible --name '^Tavrel$' >/dev/null; }

launch() { # the program under the emulator
    rm -f "$trace" "$tmp/mended" && touch "$trace" && { [ -p "$ctl" ] || mkfifo "$ctl"; }
    "$emu" --control "$ctl" --trace "$trace" -- "$@" >"$tmp/app.log" 2>&1 &
    app_pid=$!
}
write_ab() { # once the window is up: ab at index 7, and 写入
    wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tavrel$' | head -n 1) || die "no window"
    type_ab && xdotool key Tab space
}
finish() { # close request: window gone within a second, program ends with status 0
    "$wmclose" "$wid" || die "could not send WM_DELETE_WINDOW"
    poll 1 eval '! visible' || die "window still open a second after the close request"
    poll 20 eval '! kill -0 $app_pid 2>/dev/null' || die "still running 20 s after the close request"
    wait "$app_pid" || die "exit status $?"
    app_pid=''
    # From a begin (address 2): one write to address 0 and 29 to address 1, then the end shows it.
    awk -v ab="$ab" '{ $0 = tolower($0) } $2 == "busw" && $3 == "02" { a = 0; b = 0 }
        $2 == "busw" && $3 == "00" { a++ } $2 == "busw" && $3 == "01" { b++ }
        $2 == "frame" && (a != 1 || b != 29 || ($3 != ab && $3 != zeros)) { print; bad = 1 }
        END { exit bad }' zeros="$zeros" "$trace" || die "a frame reached the part half-written"
}

if [ "$soak" -gt 0 ]; then
    launch "$@" && write_ab
    poll 20 ab_after 0 || die "no frame with ab"
    usage_now() { # open files, threads, RSS in KiB of the program, the emulator's child
        local p
        read -r p </proc/"$app_pid"/task/"$app_pid"/children
        ls /proc/"$p"/fd | wc -l | tr '\n' ' '
        awk '{ v[$1] = $2 } END { print v["Threads:"], v["VmRSS:"] }' /proc/"$p"/status
    }
    for ((cycle = 1; cycle <= soak; cycle++)); do
        row="cycle $cycle" at=$(lines)
        send "unplug 1"
        poll 10 eval 'tail -n +$at "$trace" | grep -q " unplug "' || die "not unplugged"
        send "plug 1"
        poll 20 ab_after "$at" || die "no frame with ab after the re-plug"
        # Warmed up after the first cycles (Qt's and libusb's one-time allocations).
        [ "$cycle" -ne 3 ] || read -r fds0 threads0 rss0 <<<"$(usage_now)"
    done
    read -r fds threads rss <<<"$(usage_now)"
    row="after $soak cycles"
    [ -n "${rss0:-}" ] && [ -n "$rss" ] || die "no figures of the program"
    [ "$fds $threads" = "$fds0 $threads0" ] || die "files and threads $fds0 $threads0 after cycle 3, now $fds $threads"
    [ $((rss - rss0)) -lt "${SOAK_RSS_KIB:-4096}" ] || die "RSS ${rss0} KiB after cycle 3, now $rss KiB"
    finish
    echo "$me: PASS (soak: $soak cycles; files $fds, threads $threads, RSS $rss0 -> $rss KiB)"
    exit 0
fi

# NAME | WHEN: an extended regex on the emulator's trace | FAULT | MEND
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
    row=$(echo $name) when=$(echo $when) fault=$(echo $fault) mend=$(echo $mend)
    launch "$@"
    (grep -q -m1 -E "$when" < <(tail -F -n +1 --pid="$app_pid" "$trace" 2>/dev/null) && send "$fault" &&
        sleep 1 && lines >"$tmp/mended" && send "$mend") &
    write_ab
    poll 20 test -s "$tmp/mended" || die "the fault never fired"
    xdotool key space
    poll 20 ab_after "$(cat "$tmp/mended")" || die "no frame with ab after the fault"
    finish
    echo "$me: $row: passed"
done <<<"$table"
echo "$me: PASS"

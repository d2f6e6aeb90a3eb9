#!/usr/bin/env bash
# End to end: the real program on a private X server, used with the keyboard: index 7, value ab,
# "写入", "清屏", then a window manager's close request. The trace must show the frames and the
# stop write in order; the program must exit with status 0, printing only its own log lines.
# WMCLOSE: tests/app/wmclose.c; --screenshot keeps a picture of the window as typed; --emulator
# runs the program under the USB bridge emulator, unplugging and re-plugging after the first action.
set -euo pipefail
usage() { echo "usage: $0 WMCLOSE [--screenshot FILE] [--emulator EMU] -- TAVREL [ARGS...]" >&2; exit 2; }
wmclose=${1:-} screenshot='' emulator='' tmp='' xvfb_pid='' app_pid=''
shift || usage
[ "${1:-}" != --screenshot ] || { screenshot=$2; shift 2; }
[ "${1:-}" != --emulator ] || { emulator=$2; shift 2; }
[ "${1:-}" = -- ] && [ $# -ge 2 ] || usage
shift
die() { echo "e2e: FAIL: $*" >&2; tail -n 40 "$tmp/app.log" 2>/dev/null | sed 's/^/  program: /' >&2; exit 1; }
for tool in Xvfb xdotool ${screenshot:+import}; do
    command -v $tool >/dev/null || die "no $tool (Debian: xvfb xdotool imagemagick)"
done
# Every wait polls a condition every 0.1 s for up to $1 s: 20 for the program to start, connect
# or exit, 10 for an action to reach the trace as a frame.
poll() { local i; for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done; return 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-e2e.XXXXXX")
trap 'for pid in $app_pid $xvfb_pid; do { kill $pid && wait $pid; } 2>/dev/null || true; done; rm -rf "$tmp"' EXIT
# A private X server on a free display number, and a private runtime dir (Qt warns without one).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
poll 10 grep -q '^[0-9][0-9]*$' "$tmp/display" || { cat "$tmp/xvfb.log" >&2; die "Xvfb did not start"; }
export DISPLAY=":$(cat "$tmp/display")" XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The program, tracing the bridge to a file; no GL, which a widgets window does not need.
trace="$tmp/trace"
export TAVREL_SIM_TRACE="$trace" TAVREL_SIM_DEVICES="Sim Bridge" QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none
${emulator:+"$emulator" --control "$tmp/control" --} "$@" >"$tmp/app.log" 2>&1 &
app_pid=$!
wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tavrel$' | head -n 1) || die "no window titled Tavrel"
eval "$(xdotool getwindowgeometry --shell "$wid")"
[ "$WIDTH" = 600 ] && [ "$HEIGHT" = 400 ] || die "window is ${WIDTH}x${HEIGHT}, expected 600x400"

# Frames as 60 hex digits: all zeros, and 0xab at position 7.
zeros=$(printf '00%.0s' {1..30}) ab="$(printf '00%.0s' {1..7})ab$(printf '00%.0s' {1..22})"
last_frame_is() { [ "$(awk '$2 == "frame" { f = tolower($3) } END { print f }' "$trace" 2>/dev/null)" = "$1" ]; }
# The first frame (the register reset's, all zeros) says the worker is connected.
poll 20 last_frame_is "$zeros" || die "the worker never sent a frame"
# The focus starts in the index field; Tab walks to the value field, "写入", "清屏". One xdotool
# command each: chained, they would send synthetic events, which Qt ignores.
xdotool windowfocus --sync "$wid" && xdotool type --delay 30 7 && xdotool key Tab && xdotool type --delay 30 ab
[ -z "$screenshot" ] || import -window "$wid" "$screenshot" || die "could not capture the window"
xdotool key Tab space
poll 10 last_frame_is "$ab" || die "no frame with ab at position 7 after pressing 写入"
if [ -n "$emulator" ]; then # the worker must reconnect by itself and send the image again
    # Only the trace from here on counts: the emulator also traces its first plug-in.
    since=$(($(wc -l <"$trace") + 1))
    unplugged() { tail -n +"$since" "$trace" | grep -q ' unplug '; }
    resent() { tail -n +"$since" "$trace" | awk -v ab="$ab" '$2 == "plug" { p = 1 }
        p && $2 == "frame" && tolower($3) == ab { f = 1 } END { exit !f }'; }
    echo "unplug 1" >"$tmp/control"
    poll 10 unplugged || die "the emulator did not unplug the bridge"
    echo "plug 1" >"$tmp/control"
    poll 20 resent || die "no frame with ab after the bridge was re-plugged"
fi
xdotool key Tab space
poll 10 last_frame_is "$zeros" || die "no frame of zeros after pressing 清屏"

"$wmclose" "$wid" || die "could not send WM_DELETE_WINDOW"
poll 20 eval '! kill -0 $app_pid 2>/dev/null' || die "still running 20 s after the close request"
wait "$app_pid" || die "exit status $?, expected 0"
app_pid=''
# The last frames are ab then zeros, and after them the last bus write is the stop's 0 to address 0.
awk -v ab="$ab" -v zeros="$zeros" '{ $0 = tolower($0) } $2 == "frame" { before = last; last = $3; w = "" }
    $2 == "busw" { w = $3 " " $4 } END { exit !(before == ab && last == zeros && w == "00 00") }' "$trace" \
    || { tail -n 40 "$trace" >&2; die "the trace does not end with the frames ab and zeros, then the stop write"; }
known='^(device .*|find A .*|device number -?[0-9]+|open device success!|error .* , status -?[0-9]+|'
unexpected=$(grep -Ev "$known"'init device fail!|tavrel-bridge-emu: .*)$' "$tmp/app.log" || true)
[ -z "$unexpected" ] || die "unexpected output from the program: $unexpected"
echo "e2e: PASS (frames: $(grep -c ' frame ' "$trace"), exit status 0)"

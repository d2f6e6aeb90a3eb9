#!/usr/bin/env bash
# End to end: the real program on a private X server, used as an operator would:
# type an index and a value, click "写入", click "清屏", then close the window the
# way a window manager does. The bridge's trace must then show the frames and the
# stop write in order, and the program must exit with status 0.
#
# usage: e2e_tavrel.sh WMCLOSE [--screenshot FILE] [--emulator EMU] -- TAVREL [ARGS...]
#   WMCLOSE  the helper that sends WM_DELETE_WINDOW (tests/app/wmclose.c)
#   --screenshot FILE  also keep a picture of the window with the values typed
#   --emulator EMU     run the program under the USB bridge emulator, and unplug
#                      and re-plug the bridge after the first action
# Needs: Xvfb (xvfb), xdotool, import and convert (imagemagick).
set -euo pipefail

usage() { echo "usage: $0 WMCLOSE [--screenshot FILE] [--emulator EMU] -- TAVREL [ARGS...]" >&2; exit 2; }
[ $# -ge 3 ] || usage
wmclose=$1 screenshot='' emulator='' tmp='' xvfb_pid='' app_pid=''
shift
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case $1 in
        --screenshot) screenshot=$2; shift 2 ;;
        --emulator) emulator=$2; shift 2 ;;
        *) usage ;;
    esac
done
[ "${1:-}" = -- ] && [ $# -ge 2 ] || usage
shift
tavrel=$1

die() {
    echo "e2e: FAIL: $*" >&2
    [ ! -s "$tmp/app.log" ] || tail -n 40 "$tmp/app.log" | sed 's/^/  program: /' >&2
    exit 1
}

for file in "$tavrel" "$wmclose" ${emulator:+"$emulator"}; do [ -x "$file" ] || die "not an executable: $file"; done
for tool in Xvfb:xvfb xdotool:xdotool import:imagemagick convert:imagemagick; do
    command -v "${tool%%:*}" >/dev/null || die "${tool%%:*} not found (Debian package ${tool#*:})"
done

# Every wait below polls a condition every 0.1 s, up to a named limit.
window_timeout_s=20      # program start until its window is mapped
frame_timeout_s=10       # an action until the worker's next frame is in the trace
exit_timeout_s=20        # close request until the process has exited
tool_timeout_s=10        # one X tool call (focus, capture)

# poll LIMIT_S COMMAND...: run COMMAND until it succeeds or LIMIT_S has passed.
poll() {
    local limit=$1 i; shift
    for ((i = 0; i < limit * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-e2e.XXXXXX")
cleanup() {
    for pid in $app_pid $xvfb_pid; do
        { kill "$pid" && wait "$pid"; } 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

# --- a private X server on a free display number (Xvfb picks it) ---
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
poll 10 grep -q '^[0-9][0-9]*$' "$tmp/display" || { cat "$tmp/xvfb.log" >&2; die "Xvfb did not start"; }
DISPLAY=":$(cat "$tmp/display")"
export DISPLAY
# Qt warns without a private runtime dir; give it one so any warning is real.
export XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# --- the program, tracing the bridge to a file. A widgets window needs no GL:
# keep Qt from loading the system's GL libraries, whatever the machine has. ---
trace="$tmp/trace"
: >"$trace"
export TAVREL_SIM_TRACE="$trace" TAVREL_SIM_DEVICES="Sim Bridge" QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none
control="$tmp/control"
if [ -n "$emulator" ]; then
    "$emulator" --control "$control" -- "$@" >"$tmp/app.log" 2>&1 &
else
    "$@" >"$tmp/app.log" 2>&1 &
fi
app_pid=$!

wid=$(timeout "$window_timeout_s" xdotool search --sync --onlyvisible --name '^Tavrel$' | head -n 1) \
    || die "no window titled Tavrel within ${window_timeout_s}s"
eval "$(xdotool getwindowgeometry --shell "$wid")"
[ "$WIDTH" = 600 ] && [ "$HEIGHT" = 400 ] || die "window is ${WIDTH}x${HEIGHT}, expected 600x400"

# Frames as 60 hex digits: all zeros, and 0xab at position 7.
zeros=$(printf '00%.0s' {1..30})
ab="$(printf '00%.0s' {1..7})ab$(printf '00%.0s' {1..22})"
last_frame_is() { [ "$(awk '$2 == "frame" { f = tolower($3) } END { print f }' "$trace")" = "$1" ]; }
# The first frame (the register reset's, all zeros) says the worker is connected.
poll "$frame_timeout_s" last_frame_is "$zeros" || die "the worker never sent a frame"

# --- where the central widget sits: below the menu and tool bars, whose heights
# depend on style and font. The index field is the first white run in the column
# through both fields (x 186); the value field's run starts 60 px lower (fields at
# y 40 and 100 of the central widget, interiors one pixel below).
# The fields are found in a picture of the painted window; a busy machine may
# not have painted them yet, so look again until they are there.
find_fields() {
    timeout "$tool_timeout_s" import -window "$wid" "$tmp/probe.png" 2>/dev/null || return 1
    central_y=$(convert "$tmp/probe.png" -crop "1x${HEIGHT}+186+0" +repage -depth 8 txt:- |
        awk -F'[,:]' '/#FFFFFF/ { y = $2 + 0; if (y != last + 1) top[++n] = y; last = y }
                      END { if (n >= 2 && top[2] - top[1] == 60) print top[1] - 41 }')
    [ -n "$central_y" ]
}
poll "$window_timeout_s" find_fields || die "cannot find the two entry fields in the window picture"

# Click at central-widget coordinates, then leave the window: no hover in the picture.
click() { xdotool mousemove --window "$wid" "$1" $((central_y + $2)) click 1 mousemove 1000 750; }
timeout "$tool_timeout_s" xdotool windowfocus --sync "$wid" || die "could not focus the window"

# --- the operator: index 7, value ab, "写入", then "清屏" (centres of fields and buttons) ---
click 186 50
xdotool type --delay 30 "7"
click 186 110
xdotool type --delay 30 "ab"
click 376 110
poll "$frame_timeout_s" last_frame_is "$ab" || die "no frame with ab at position 7 after clicking 写入"
if [ -n "$emulator" ]; then
    # Pull the cable and put it back: the worker must reconnect by itself and
    # send the image again to the freshly cleared device.
    # Only what the trace shows from here on counts (the emulator also traces its
    # first plug-in at start).
    since=$(($(wc -l <"$trace") + 1))
    traced() { tail -n +"$since" "$trace" | grep -q " $1 "; }
    echo "unplug 1" >"$control"
    poll "$frame_timeout_s" traced unplug || die "the emulator did not unplug the bridge"
    echo "plug 1" >"$control"
    poll "$frame_timeout_s" traced plug || die "the emulator did not re-plug the bridge"
    frame_after_plug() {
        tail -n +"$since" "$trace" |
            awk -v ab="$ab" '$2 == "plug" { p = 1 } p && $2 == "frame" && tolower($3) == ab { f = 1 } END { exit !f }'
    }
    poll "$window_timeout_s" frame_after_plug || die "no frame with ab after the bridge was re-plugged"
fi
if [ -n "$screenshot" ]; then
    mkdir -p "$(dirname "$screenshot")"
    timeout "$tool_timeout_s" import -window "$wid" "$screenshot" || die "could not capture the window"
fi
click 376 224
poll "$frame_timeout_s" last_frame_is "$zeros" || die "no frame of zeros after clicking 清屏"

# --- close as a window manager would, then the process must end on its own ---
"$wmclose" "$wid" || die "could not send WM_DELETE_WINDOW"
exited() { ! kill -0 "$app_pid" 2>/dev/null; }
poll "$exit_timeout_s" exited || die "still running ${exit_timeout_s}s after the close request"
wait "$app_pid" || die "exit status $?, expected 0"
app_pid=''

# --- the trace, in order: the frame with ab, next a frame of zeros, and after
# the last frame the worker's stop write of 0 to address 0 ---
awk -v ab="$ab" -v zeros="$zeros" '
    { $0 = tolower($0) }
    $2 == "frame" { frame[++n] = $3; frameLine = NR; if ($3 == ab) abAt = n }
    $2 == "busw"  { lastBusw = $3 " " $4; buswLine = NR }
    END {
        if (!abAt || frame[abAt + 1] != zeros) {
            print "frame after the one with ab: \"" frame[abAt + 1] "\"\n                   expected: " zeros; exit 1
        }
        if (buswLine < frameLine || lastBusw != "00 00") {
            print "last bus write: " lastBusw " (line " buswLine "), expected 00 00 after the last frame (line " frameLine ")"
            exit 1
        }
    }' "$trace" >"$tmp/check" || { cat "$tmp/check" >&2; tail -n 40 "$trace" >&2; die "trace check"; }

# The program's own debug lines are expected; anything else (a Qt warning) is not.
unexpected=$(grep -Ev '^(device .*|find A .*|device number -?[0-9]+|open device success!|error .* , status -?[0-9]+|init device fail!|tavrel-bridge-emu: .*)$' "$tmp/app.log" || true)
[ -z "$unexpected" ] || die "unexpected output from the program:
$unexpected"

echo "e2e: PASS (frames: $(grep -c ' frame ' "$trace"), exit status 0)"

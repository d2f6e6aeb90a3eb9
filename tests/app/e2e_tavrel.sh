#!/usr/bin/env bash
# End-to-end run of the real program on a private X server, as an operator
# would use it: type an index and a value, press "写入", press "清屏", close
# the window with the window-manager close request. The simulated bridge's
# trace then has to show the frames and the stop write in order.
#
# usage: e2e_tavrel.sh TAVREL WMCLOSE [--screenshot FILE]
#   TAVREL   the built program
#   WMCLOSE  the helper that sends WM_DELETE_WINDOW (tests/app/wmclose.c)
#   --screenshot FILE  also keep a picture of the window with the values typed
#
# Needs: Xvfb (xvfb), xdotool, import and convert (imagemagick).
set -euo pipefail

tmp=
die() {
    echo "e2e: FAIL: $*" >&2
    if [ -n "$tmp" ] && [ -s "$tmp/app.log" ]; then
        echo "--- program output (last 40 lines):" >&2
        tail -n 40 "$tmp/app.log" >&2
    fi
    exit 1
}

[ $# -ge 2 ] || { echo "usage: $0 TAVREL WMCLOSE [--screenshot FILE]" >&2; exit 2; }
tavrel=$1 wmclose=$2; shift 2
screenshot=
while [ $# -gt 0 ]; do
    case $1 in
        --screenshot) screenshot=$2; shift 2 ;;
        *) echo "e2e: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -x "$tavrel" ] || die "no program at $tavrel"
[ -x "$wmclose" ] || die "no close helper at $wmclose"
for tool in Xvfb:xvfb xdotool:xdotool import:imagemagick convert:imagemagick; do
    command -v "${tool%%:*}" >/dev/null || die "${tool%%:*} not found (Debian package ${tool#*:})"
done

# Every wait below polls a condition at this step, up to a named limit.
poll_step=0.1
window_timeout_s=20      # program start until its window is mapped
frame_timeout_s=10       # an action until the worker's next frame is in the trace
exit_timeout_s=20        # close request until the process has exited
tool_timeout_s=10        # one X tool call (focus, capture)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-e2e.XXXXXX")
xvfb_pid= app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

# poll LIMIT_S COMMAND...: run COMMAND until it succeeds or LIMIT_S has passed.
poll() {
    local limit=$1; shift
    local tries; tries=$(awk -v l="$limit" -v s="$poll_step" 'BEGIN { printf "%d", l / s }')
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        sleep "$poll_step"
    done
    return 1
}

# --- a private X server on a free display number (Xvfb picks it) ---
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
display_ready() { grep -q '^[0-9][0-9]*$' "$tmp/display"; }
poll 10 display_ready || { cat "$tmp/xvfb.log" >&2; die "Xvfb did not start"; }
export DISPLAY=":$(cat "$tmp/display")"
# Qt warns without a private runtime dir; give it one so any warning is real.
export XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# --- the program, on the simulated bridge, tracing to a file ---
trace="$tmp/trace"
: >"$trace"
TAVREL_SIM_TRACE="$trace" TAVREL_SIM_DEVICES="Sim Bridge" QT_QPA_PLATFORM=xcb \
    "$tavrel" >"$tmp/app.log" 2>&1 &
app_pid=$!

wid=$(timeout "$window_timeout_s" xdotool search --sync --onlyvisible --name '^Tavrel$' | head -n 1) \
    || die "no window titled Tavrel within ${window_timeout_s}s"
eval "$(xdotool getwindowgeometry --shell "$wid")"
[ "$WIDTH" = 600 ] && [ "$HEIGHT" = 400 ] || die "window is ${WIDTH}x${HEIGHT}, expected 600x400"

# The worker's first frame (sent after the register reset) says it is connected.
frames() { awk '$2 == "frame" { print $3 }' "$trace"; }
frame_count() { frames | wc -l; }
has_frames() { [ "$(frame_count)" -ge "$1" ]; }
poll "$frame_timeout_s" has_frames 1 || die "the worker never sent a frame"

# --- where the central widget sits: below the menu bar and tool bar, whose
# heights depend on style and font. The index field is the first white run
# in the column through both fields (x 186); the value field's white run
# follows 60 px lower (fields at y 40 and y 100 of the central widget).
timeout "$tool_timeout_s" import -window "$wid" "$tmp/probe.png" || die "could not capture the window"
field_x=186
white_runs=$(convert "$tmp/probe.png" -crop "1x${HEIGHT}+${field_x}+0" +repage -depth 8 txt:- |
    awk -F'[,:]' '/#FFFFFF/ { y = $2 + 0; if (y != last + 1) print y; last = y }')
index_top=$(sed -n 1p <<<"$white_runs")
value_top=$(sed -n 2p <<<"$white_runs")
[ -n "$index_top" ] && [ -n "$value_top" ] && [ $((value_top - index_top)) -eq 60 ] ||
    die "cannot find the two entry fields in the window picture (white runs at: $(echo $white_runs))"
# The field's frame is one pixel: its interior starts at central y 41.
central_y=$((index_top - 41))

click() { xdotool mousemove --window "$wid" "$1" "$2" click 1; }
timeout "$tool_timeout_s" xdotool windowfocus --sync "$wid" || die "could not focus the window"

# --- the operator: index 7, value ab, "写入" ---
click $((130 + 56)) $((central_y + 40 + 10))
xdotool type --delay 30 "7"
click $((130 + 56)) $((central_y + 100 + 10))
xdotool type --delay 30 "ab"
before=$(frame_count)
click $((330 + 46)) $((central_y + 96 + 14))
xdotool mousemove 1000 750            # off the window: no hover in the picture
poll "$frame_timeout_s" has_frames $((before + 1)) || die "no frame after pressing 写入"
expected_ab="$(printf '00%.0s' {1..7})ab$(printf '00%.0s' {1..22})"
frame_with_ab() { frames | tail -n +$((before + 1)) | grep -ix "$expected_ab" >/dev/null; }
poll "$frame_timeout_s" frame_with_ab || die "no frame with ab at position 7 after pressing 写入"

if [ -n "$screenshot" ]; then
    timeout "$tool_timeout_s" import -window "$wid" "$tmp/shot.png" || die "could not capture the window"
    mkdir -p "$(dirname "$screenshot")"
    cp "$tmp/shot.png" "$screenshot"
fi

# --- "清屏" ---
before=$(frame_count)
click $((330 + 46)) $((central_y + 210 + 14))
xdotool mousemove 1000 750
poll "$frame_timeout_s" has_frames $((before + 1)) || die "no frame after pressing 清屏"

# --- close as a window manager would, then the process must end on its own ---
"$wmclose" "$wid" || die "could not send WM_DELETE_WINDOW"
exited() { ! kill -0 "$app_pid" 2>/dev/null; }
poll "$exit_timeout_s" exited || die "still running ${exit_timeout_s}s after the close request"
status=0
wait "$app_pid" || status=$?
app_pid=
[ "$status" -eq 0 ] || die "exit status $status, expected 0"

# --- the trace, in order ---
zeros=$(printf '00%.0s' {1..30})
awk -v ab="$expected_ab" -v zeros="$zeros" '
    { $0 = tolower($0) }
    $2 == "frame" { frame[++n] = $3; lastFrameLine = NR; if (!abAt && $3 == ab) abAt = n }
    $2 == "busw"  { lastBusw = $3 " " $4; lastBuswLine = NR }
    END {
        if (!abAt)                 { print "no frame with ab at position 7"; exit 1 }
        if (abAt == n)             { print "no frame after the one with ab"; exit 1 }
        if (frame[abAt + 1] != zeros) {
            print "frame after the write: " frame[abAt + 1] "\n          expected: " zeros; exit 1
        }
        if (lastBuswLine < lastFrameLine || lastBusw != "00 00") {
            print "last bus write: " lastBusw " (line " lastBuswLine "), expected 00 00 after the last frame (line " lastFrameLine ")"
            exit 1
        }
    }' "$trace" >"$tmp/check" || { cat "$tmp/check" >&2; tail -n 40 "$trace" >&2; die "trace check"; }

# The program's own debug lines are expected; anything else (a Qt warning) is not.
unexpected=$(grep -Ev '^(device .*|find A .*|device number -?[0-9]+|open device success!|error .* , status -?[0-9]+|init device fail!)$' "$tmp/app.log" || true)
[ -z "$unexpected" ] || die "unexpected output from the program:
$unexpected"

echo "e2e: PASS (frames: $(frame_count), exit status $status)"

#!/usr/bin/env bash
# The program under Xvfb, by keyboard: index 7, value ab, "写入", "清屏", a close request. The trace shows
# the frames and the stop write; exit status 0, only its own log lines. --screenshot keeps a picture.
set -euo pipefail
usage() { echo "usage: $0 WMCLOSE [--screenshot FILE] [--emulator EMU] -- TAVREL [ARGS...]" >&2; exit 2; }
wmclose=${1:-} screenshot='' emulator=''
shift || usage
[ "${1:-}" != --screenshot ] || { screenshot=$2; shift 2; }
[ "${1:-}" != --emulator ] || { emulator=$2; shift 2; }
[ "${1:-}" = -- ] && [ $# -ge 2 ] || usage
shift
me=e2e tools=${screenshot:+import}
source "$(dirname "$0")/xsession.sh"
trace="$tmp/trace"
export TAVREL_SIM_TRACE="$trace" TAVREL_SIM_DEVICES="Sim Bridge"
${emulator:+"$emulator" --control "$tmp/control" --} "$@" >"$tmp/app.log" 2>&1 &
app_pid=$!
find_window

last_frame_is() { [ "$(awk '$2 == "frame" { f = tolower($3) } END { print f }' "$trace" 2>/dev/null)" = "$1" ]; }
poll 20 last_frame_is "$zeros" || die "the worker never sent a frame"
# One xdotool command each: chained, they send synthetic events, which Qt ignores.
type_ab
[ -z "$screenshot" ] || import -window "$wid" "$screenshot" || die "could not capture the window"
xdotool key Tab space
poll 10 last_frame_is "$ab" || die "no frame with ab at position 7 after pressing 写入"
xdotool key Tab space
poll 10 last_frame_is "$zeros" || die "no frame of zeros after pressing 清屏"

close_app 20
awk -v ab="$ab" -v zeros="$zeros" '{ $0 = tolower($0) } $2 == "frame" { before = last; last = $3; w = "" }
    $2 == "busw" { w = $3 " " $4 } END { exit !(before == ab && last == zeros && w == "00 00") }' "$trace" \
    || { tail -n 40 "$trace" >&2; die "the trace does not end with the frames ab and zeros, then the stop write"; }
own='device .*|find A .*|device number -?[0-9]+|open device success!|error .* , status -?[0-9]+|init device fail!'
unexpected=$(grep -Ev "^($own|tavrel: bridge .*|tavrel-bridge-emu: .*)\$" "$tmp/app.log" || true)
[ -z "$unexpected" ] || die "unexpected output from the program: $unexpected"
echo "e2e: PASS (frames: $(grep -c ' frame ' "$trace"), exit status 0)"

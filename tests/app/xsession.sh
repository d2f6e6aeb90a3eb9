# Sourced by the end-to-end scripts, after they set $me: a scratch folder $tmp, a private X server
# (Xvfb) on a free display number, a private runtime dir (Qt warns without one), Qt without GL
# (a widgets window needs none), and the helpers below. Tools beyond Xvfb and xdotool: $tools.
# Every wait polls a condition every 0.1 s for up to $1 s.
poll() { local i; for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done; return 1; }
die() {
    echo "$me: FAIL${row:+ ($row)}: $*" >&2
    tail -n 40 "$tmp/app.log" 2>/dev/null | sed 's/^/  program: /' >&2
    exit 1
}
# Types index 7 and value ab into the window $wid, leaving the focus in the value field.
type_ab() {
    xdotool windowfocus --sync "$wid" && xdotool type --delay 30 7 && xdotool key Tab && xdotool type --delay 30 ab
}
# Frames as 60 hex digits: all zeros, and 0xab at position 7.
zeros=$(printf '00%.0s' {1..30}) ab="$(printf '00%.0s' {1..7})ab$(printf '00%.0s' {1..22})"
row='' app_pid='' xvfb_pid=''
for tool in Xvfb xdotool ${tools:-}; do
    command -v $tool >/dev/null || die "no $tool (Debian: xvfb xdotool imagemagick)"
done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-$me.XXXXXX")
trap 'for pid in $app_pid $xvfb_pid; do { kill $pid && wait $pid; } 2>/dev/null || true; done; rm -rf "$tmp"' EXIT
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
poll 10 grep -q '^[0-9][0-9]*$' "$tmp/display" || { cat "$tmp/xvfb.log" >&2; die "Xvfb did not start"; }
export DISPLAY=":$(cat "$tmp/display")" XDG_RUNTIME_DIR="$tmp/runtime" QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none
mkdir -m 700 "$XDG_RUNTIME_DIR"

# Sourced by the end-to-end scripts (after $me, $tools): a scratch folder $tmp, a private X server,
# a runtime dir (Qt warns without one). poll N CMD: CMD every 0.1 s for up to N s.
poll() { local i; for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done; return 1; }
die() {
    echo "$me: FAIL${row:+ ($row)}: $*" >&2
    tail -n 40 "$tmp/app.log" 2>/dev/null | sed 's/^/  program: /' >&2
    exit 1
}
find_window() {
    wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tavrel$' | head -n 1) || die "no window"
}
# A close request: the window goes within $1 s, the program exits 0.
close_app() {
    "$wmclose" "$wid" || die "could not send WM_DELETE_WINDOW"
    poll "$1" eval '! xdotool search --onlyvisible --name "^Tavrel$" >/dev/null' || die "window open after $1 s"
    poll 20 eval '! kill -0 $app_pid 2>/dev/null' || die "still running 20 s after the close request"
    wait "$app_pid" || die "exit status $?, expected 0"
    app_pid=''
}
# Types index 7, value ab.
type_ab() {
    xdotool windowfocus --sync "$wid" && xdotool type --delay 30 7 && xdotool key Tab && xdotool type --delay 30 ab
}
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

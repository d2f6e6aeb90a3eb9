#!/usr/bin/env bash
# usage: commandline.sh TAVREL. The program's command line, row by row: exit status, a pattern its
# output must match, the command; none of these may open a window. Then signals to a running program.
set -u
tavrel=$1 failed=0 pid=''
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-cl.XXXXXX")
trap '[ -z "$pid" ] || kill -9 $pid 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; failed=1; }
check() {
    local status=$1 pattern=$2 out got; shift 2
    out=$(timeout 20 "$@" 2>&1); got=$?
    [ "$got" = "$status" ] && grep -qE -- "$pattern" <<<"$out" || fail "$* -> status $got; output: $out"
}
nosuch="^tavrel: unknown bridge 'nosuch'" help='; tavrel --help lists the options$'
check 0 '^Usage: tavrel .*--bridge'           "$tavrel" --help
check 0 '^tavrel [0-9]+\.[0-9]+'             "$tavrel" -v
check 2 "$nosuch"                            "$tavrel" --bridge nosuch
check 2 "$nosuch"                            env TAVREL_BRIDGE=nosuch "$tavrel"
# ours and Qt's own options in either dash form, values apart or after '='
check 2 "$nosuch"                            "$tavrel" -platform offscreen --style=fusion -bridge=nosuch
check 2 "^tavrel: --bridge needs a value$help" "$tavrel" --bridge
check 2 "^tavrel: unknown option '--brdige'$help" "$tavrel" --brdige sim
check 2 "^tavrel: unknown option '-brdige'$help"  "$tavrel" -brdige sim
check 2 "^tavrel: unexpected argument 'sim'$help" "$tavrel" sim
# a trace file that cannot be created
check 2 '^tavrel: cannot create the trace file /nonexistent/t: No such file' "$tavrel" --trace /nonexistent/t
check 2 '^tavrel: cannot create the trace file /nonexistent/t.vcd: ' env TAVREL_TRACE=/nonexistent/t.vcd "$tavrel"
# a library: a path as typed, or a file name found where the dynamic linker looks
check 2 '^tavrel: no such file: /nonexistent/libftd2xx.so$' "$tavrel" --bridge=/nonexistent/libftd2xx.so
check 2 "^tavrel: cannot load D2XX library 'libnosuch.so': libnosuch.so: " "$tavrel" --bridge libnosuch.so
check 2 "^tavrel: 'libm.so.6' is not a D2XX library: it does not export FT_ListDevices" "$tavrel" --bridge libm.so.6
# choosing the part: bad values, a library (which has no such choice), and the list
check 2 "^tavrel: --serial needs a value$help"                 "$tavrel" --serial=
check 2 "^tavrel: serial 'a b' is not one a part can have"     env TAVREL_SERIAL='a b' "$tavrel"
check 2 "^tavrel: malformed location '1-2\.\.3': a USB topology" "$tavrel" --location 1-2..3
check 2 '^tavrel: malformed location .0-1.'                    "$tavrel" --bridge sim --location=0-1
check 2 '^tavrel: choose the part by --serial or by --location, not both' "$tavrel" --serial S --location 1-1
check 2 '^tavrel: --serial and --location choose among the parts of --bridge usb or sim' \
    "$tavrel" --bridge libtavrel_sim.so --serial SIM001
check 0 '^Sim Bridge B  SIM001B  1-1  FT2232H  ok$'              "$tavrel" --bridge sim --list
check 0 '^Y A +- +1-2 +FT2232D +ok$' env TAVREL_SIM_DEVICES='X,S1;Y,,2232d' "$tavrel" -bridge sim -list
# the simulated bridge lists only the part chosen (two ports of four); a stop on SIGINT after 8 s,
# sent to the program alone (without --foreground timeout signals its whole group: a second signal)
check 0 '^device number 2$' timeout --foreground --preserve-status -s INT 8 \
    env --default-signal=INT TAVREL_SIM_DEVICES='X,S1;Y,S2' \
    "$tavrel" --bridge sim --serial S2A -platform offscreen

# Signals, sent once the first frame is out: the bridge was named first; the stop ends the trace with the
# final write of 0 to address 0 and the close, exit status 0. A second signal ends the stop at once.
stop() { # SIGNALS STATUS TRACE_END BRIDGE_LINE COMMAND...
    local signals=$1 status=$2 end=$3 bridge=$4 got i s; shift 4
    rm -f "$tmp/trace"
    # A script's background job starts with SIGINT ignored; a program in a terminal does not.
    TAVREL_SIM_TRACE="$tmp/trace" env --default-signal=INT "$@" 2>"$tmp/log" & pid=$!
    for ((i = 0; i < 200; i++)); do grep -q ' frame ' "$tmp/trace" 2>/dev/null && break; sleep 0.1; done
    # Stopped, every signal is pending at once when the program carries on.
    kill -STOP $pid; for s in $signals; do kill -$s $pid; done; kill -CONT $pid
    for ((i = 0; i < 100; i++)); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    kill -9 $pid 2>/dev/null; wait $pid; got=$? pid=''
    [[ $got =~ $status && "$(tail -n 2 "$tmp/trace" | cut -d' ' -f2- | paste -sd' ')" =~ $end ]] &&
        head -n 1 "$tmp/log" | grep -qE "^tavrel: bridge $bridge" ||
        fail "$signals to $* -> status $got; log: $(cat "$tmp/log"); trace: $(tail -n 3 "$tmp/trace")"
}
clean='^busw 00 00 close$'
stop INT        '^0$'         "$clean" 'sim '                  "$tavrel" --bridge sim
stop TERM       '^0$'         "$clean" '/.*/libtavrel_sim.so ' "$tavrel" --bridge libtavrel_sim.so
stop HUP        '^0$'         "$clean" 'sim '                  "$tavrel" --bridge sim
stop 'TERM INT' '^(130|143)$' ''       'sim '                  "$tavrel" --bridge sim
# started with SIGHUP ignored (nohup): it stays ignored
stop 'HUP INT'  '^0$'         "$clean" 'sim '                  env --ignore-signal=HUP "$tavrel" --bridge sim
# under the bridge emulator, which passes the signal on: ports B and A are let go after the last write
emu=$(dirname "$tavrel")/../tools/bridge-emulator/tavrel-bridge-emu
[ ! -x "$emu" ] || [ -n "${COMMANDLINE_NO_EMULATOR:-}" ] ||
    stop INT '^0$' '^close close$' 'usb ' "$emu" -- "$tavrel" --bridge usb
exit $failed

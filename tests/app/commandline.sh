#!/usr/bin/env bash
# usage: commandline.sh TAVREL. The program's own options, case by case: exit status, a pattern
# its output must match, the command. None of these may open a window.
set -u
tavrel=$1 failed=0
check() {
    local status=$1 pattern=$2 out got; shift 2
    out=$(timeout 20 "$@" 2>&1); got=$?
    [ "$got" = "$status" ] && grep -qE -- "$pattern" <<<"$out" ||
        { echo "FAIL: $* -> status $got; output: $out"; failed=1; }
}
check 0 '^Usage: tavrel .*--bridge'           "$tavrel" --help
check 0 '^tavrel [0-9]+\.[0-9]+'             "$tavrel" --version
check 2 "^tavrel: unknown bridge 'nosuch'"   "$tavrel" --bridge nosuch
check 2 '^tavrel: --bridge needs a value'    "$tavrel" --bridge
check 2 '^tavrel: cannot load D2XX library'  "$tavrel" --bridge=/nonexistent/libd2xx.so
check 2 'does not export FT_ListDevices'     "$tavrel" --bridge "$(ldd "$tavrel" | awk '/libm\.so/ {print $3; exit}')"
check 2 "^tavrel: unknown bridge 'nosuch'"   env TAVREL_BRIDGE=nosuch "$tavrel"
exit $failed

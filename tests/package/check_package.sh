#!/usr/bin/env bash
# Builds the Debian package and checks its files, control fields, desktop entry, lintian, libraries.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
passed=0 failed=0
check() { # check <what> <command...>: one counted check
    local what=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what" >&2; fi
}
deb=$("$root/scripts/package") || { echo "check_package: 0 passed, 1 failed"; exit 1; }
echo "package: $deb ($(stat -c %s "$deb") bytes)"
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
version=$(sed -n 's/^project(Tavrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
private=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/tavrel

expected="usr/bin/tavrel
$private/libtavrel_sim.so
usr/lib/udev/rules.d/60-tavrel.rules
usr/share/applications/tavrel.desktop
usr/share/doc/tavrel/changelog.gz
usr/share/doc/tavrel/copyright
usr/share/icons/hicolor/64x64/apps/tavrel.png
usr/share/icons/hicolor/scalable/apps/tavrel.svg
usr/share/man/man1/tavrel.1.gz"
if find "$root/build/package" -name libtavrel_d2xx_usb.so -not -path '*/_CPack_Packages/*' | grep -q .; then
    expected+=$'\n'"$private/libtavrel_d2xx_usb.so"
fi
check "file list (< expected, > packaged)" diff <(sort <<<"$expected") \
    <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)

while read -r field want; do
    check "control $field is '$want'" [ "$(dpkg-deb -f "$deb" "$field")" = "$want" ]
done <<EOF
Package tavrel
Version $version
Architecture $(dpkg --print-architecture)
Section electronics
Maintainer Tavrel developers <tavrel@example.org>
EOF
for dep in libqt5widgets5 libc6; do
    check "Depends names $dep" grep -qE "(^|, )$dep( |,|$)" <<<"$(dpkg-deb -f "$deb" Depends)"
done

dpkg-deb -x "$deb" "$tmp/root"
rule="$tmp/root/usr/lib/udev/rules.d/60-tavrel.rules"
# A line naming a group the system lacks is dropped whole: uaccess must not share one.
check "udev rule: uaccess never beside GROUP" bash -c '! grep -E "uaccess.*GROUP|GROUP.*uaccess" "$1"' - "$rule"
for product in 6001 6010 6011 6014 6015; do
    check "udev rule: $product has uaccess, plugdev and no ModemManager probe" \
        [ "$(grep -cE "\"$product\".*(uaccess|GROUP=\"plugdev\"|ID_MM_DEVICE_IGNORE)" "$rule")" -eq 3 ]
done
check "desktop entry valid" desktop-file-validate "$tmp/root/usr/share/applications/tavrel.desktop"
lintian --fail-on error "$deb" 2>&1 | grep -v 'root privileges'
check "lintian: no errors" [ "${PIPESTATUS[0]}" -eq 0 ]

# Unpacked away from /usr, our libraries resolve from there ($ORIGIN-relative RPATH).
bin="$tmp/root/usr/bin/tavrel"
check "nothing 'not found'" bash -c '! ldd "$@" | grep "not found"' - "$bin" "$tmp/root/$private"/*.so
check "libtavrel_sim.so from the unpacked tree" grep -qF "libtavrel_sim.so => $tmp/root/usr/" <(ldd "$bin")
if grep -q 'version' "$root/app/main.cpp"; then
    check "tavrel --version prints $version" grep -qF "$version" \
        <(QT_QPA_PLATFORM=offscreen TAVREL_BRIDGE=sim timeout 20 "$bin" --version 2>&1)
fi
echo "check_package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

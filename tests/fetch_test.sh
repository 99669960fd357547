#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The boards' fetch step against an archive that misbehaves: a stand-in
# apt-get first on PATH plays each case and hands back real packages, so
# that what follows the download runs as it would.
# usage: fetch_test.sh PREPARE
set -uo pipefail
prepare=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat > "$work/bin/apt-get" <<'STANDIN'
#!/bin/sh
# update: prints E: and exits $UPDATE_RC, leaving a fresh index when
# $UPDATE_INDEX is yes. download: works only with a fresh index.
lists= verb= pkg=
while [ $# -gt 0 ]; do
    case $1 in
    -o) case $2 in Dir::State::Lists=*) lists=${2#*=} ;; esac; shift ;;
    -*) ;;
    *) if [ -z "$verb" ]; then verb=$1; else pkg=$1; fi ;;
    esac
    shift
done
echo "$verb $pkg" >> "$CALLS"
case $verb in
update)
    echo "Get:1 http://archive bookworm InRelease"
    echo "E: Failed to fetch http://archive/security/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
    [ "$UPDATE_INDEX" = yes ] && echo fresh > "$lists/archive_main_Packages"
    exit "$UPDATE_RC" ;;
download)
    if ! grep -qs fresh "$lists"/*Packages*; then
        echo "E: Failed to fetch http://archive/pool/${pkg}_1.0_all.deb  404  Not Found" >&2
        exit 100
    fi
    tree=$(mktemp -d)
    mkdir -p "$tree/DEBIAN" "$tree/bin" "$tree/usr/src"
    printf 'Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: test <t@t>\nDescription: stand-in\n' \
        "$pkg" > "$tree/DEBIAN/control"
    printf '#!/bin/sh\n' > "$tree/bin/busybox" && chmod 755 "$tree/bin/busybox"
    : > "$tree/usr/src/$pkg.tar.xz"
    dpkg-deb -Zgzip --build "$tree" "${pkg}_1.0_all.deb" >/dev/null
    rm -rf "$tree" ;;
esac
STANDIN
chmod 755 "$work/bin/apt-get"

failed=0 i=0
# name | update's exit status | update leaves an index | lists before | fetched
cases=(
    "an index ignored, update exits 100|100|yes|none|yes"
    "update exits 0 and leaves no index|0|no|none|no"
    "old lists name a version the archive dropped|0|yes|stale|yes"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name rc index before want <<<"$row"
    i=$((i + 1)) cache=$work/cache-$i
    mkdir -p "$cache/apt-armhf/lists"
    [ "$before" = stale ] && echo stale > "$cache/apt-armhf/lists/archive_main_Packages"
    PATH=$work/bin:$PATH CALLS=$work/calls UPDATE_RC=$rc UPDATE_INDEX=$index \
        "$prepare" --fetch virt "$cache" > "$work/out" 2> "$work/err"
    status=$?
    got=no
    [ $status -eq 0 ] && [ -x "$cache/busybox-armhf/bin/busybox" ] && ls "$cache"/linux-source-6.1*.deb >/dev/null 2>&1 &&
        got=yes
    ok=yes
    [ "$got" = "$want" ] || ok=no
    # A failure names the package and shows apt's error; an ignored index is reported, not hidden.
    if [ "$want" = no ]; then
        grep -q 'could not get busybox-static' "$work/err" && grep -q '^E: Failed to fetch' "$work/err" || ok=no
    elif [ "$before" = none ]; then
        grep -q '^E: .*Mirror sync in progress' "$work/err" || ok=no
    fi
    if [ $ok = yes ]; then
        echo "PASS $name"
    else
        echo "FAIL $name: exit $status, fetched $got; apt-get was run as: $(tr '\n' ',' < "$work/calls" 2>/dev/null)"
        sed 's/^/  stderr: /' "$work/err"
        failed=1
    fi
    rm -f "$work/calls"
done
exit $failed

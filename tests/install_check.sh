#!/bin/sh
# Stages an install under a scratch DESTDIR and shows what landed at sbin/hotplug:
# it must be the only file, stripped, and (for the device build) static.
# usage: install_check.sh BUILD_DIR [static]
set -eu
build=$1 linkage=${2:-}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
installed=$(cd "$stage" && find . -type f)
what=$(file -b "$stage/usr/sbin/hotplug")
echo "installed: $installed"
echo "file: $what"
[ "$installed" = "./usr/sbin/hotplug" ] || { echo "FAIL: expected only usr/sbin/hotplug"; exit 1; }
case $what in *", stripped"*) ;; *) echo "FAIL: not stripped"; exit 1 ;; esac
if [ "$linkage" = static ]; then
    case $what in *"statically linked"*) ;; *) echo "FAIL: not static"; exit 1 ;; esac
fi

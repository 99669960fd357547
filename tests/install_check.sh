#!/bin/sh
# Installs under DESTDIR and checks what landed at sbin/hotplug: it must be
# the only file, stripped, and static unless linked dynamically. Given the
# ARM readelf, it must also be a 32-bit ARM executable for ARMv5TE or older.
# The install is left in DESTDIR for the tests that drive it.
# usage: install_check.sh BUILD_DIR DESTDIR dynamic|static|musl [READELF]
set -eu
build=$1 stage=$2 linkage=$3 readelf=${4:-}
rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --prefix / >/dev/null
installed=$(cd "$stage" && find . -type f)
what=$(file -b "$stage/sbin/hotplug")
echo "installed: $installed, $(stat -c %s "$stage/sbin/hotplug") bytes"
echo "file: $what"
[ "$installed" = "./sbin/hotplug" ] || { echo "FAIL: expected only sbin/hotplug"; exit 1; }
case $what in *", stripped"*) ;; *) echo "FAIL: not stripped"; exit 1 ;; esac
if [ "$linkage" != dynamic ]; then
    case $what in *"statically linked"*) ;; *) echo "FAIL: not static"; exit 1 ;; esac
fi
[ -n "$readelf" ] || exit 0
case $what in *"ELF 32-bit LSB executable, ARM,"*) ;; *) echo "FAIL: not a 32-bit ARM executable"; exit 1 ;; esac
arch=$("$readelf" -A "$stage/sbin/hotplug" | sed -n 's/^ *Tag_CPU_arch: *//p')
echo "Tag_CPU_arch: $arch"
case $arch in
    Pre-v4|v4|v4T|v5T|v5TE|v5TEJ) ;;
    *) echo "FAIL: built for $arch; the device binary must run on ARMv5TE"; exit 1 ;;
esac

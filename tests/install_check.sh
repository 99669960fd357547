#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs under DESTDIR and checks what landed at sbin/hotplug: it must be
# the only file, stripped, static unless linked dynamically, and carry its
# version for strings(1). The licence component, asked for, installs the
# licence. Given the ARM readelf, the agent must also be a 32-bit ARM
# executable for ARMv5TE or older.
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
version=$(strings "$stage/sbin/hotplug" | grep -E '^hotplug [0-9]+\.[0-9]+\.[0-9]+$') ||
    { echo "FAIL: no version for strings(1)"; exit 1; }
echo "version: $version"
docs=$stage.licence
rm -rf "$docs"
DESTDIR=$docs cmake --install "$build" --prefix / --component licence >/dev/null
cmp -s "$docs/share/doc/hotplug/LICENSE" "$(dirname "$0")/../LICENSE" ||
    { echo "FAIL: the licence component did not install share/doc/hotplug/LICENSE"; exit 1; }
echo "licence component: $(cd "$docs" && find . -type f | sort | tr '\n' ' ')"
rm -rf "$docs"
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

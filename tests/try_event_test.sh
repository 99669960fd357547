#!/bin/sh
# SPDX-License-Identifier: MIT
# try-event shows a stick plugged in and removed, the node the agent looks
# for whatever the path holds, and refuses bad usage.
# usage: try_event_test.sh TRY_EVENT
set -u
t=$1
out=$("$t" --help 2>&1 && "$t" usb 2>&1)
case $out in
*"cannot make a sandbox here"*)
    [ "${CI:-}" = true ] && { echo "$out"; exit 1; }
    echo "skipped: $out"; exit 77 ;;
esac
expected='event 1: hotplug block ACTION=add DEVPATH=/block/sda/sda1 MINOR=1
  node     /dev/sda1 is there
  made     /mnt/sda1/, mode 0755
  started  /bin/mount -t vfat -o flush,utf8 /dev/sda1 /mnt/sda1
  exit     1
event 2: hotplug block ACTION=remove DEVPATH=/block/sda/sda1 MINOR=1
  started  /bin/umount -f /mnt/sda1
  removed  /mnt/sda1/
  exit     0'
status=0
# The output of one call, without its timings, against what is expected.
expect() {
    what=$1 want=$2
    shift 2
    got=$("$t" "$@" 2>&1 | sed 's/ (after [0-9.]* s)$//')
    [ "$got" = "$want" ] && return
    printf 'FAIL: %s\n--- expected\n%s\n--- got\n%s\n' "$what" "$want" "$got"
    status=1
}
expect "plug-in and removal" "$expected" \
    block ACTION=add DEVPATH=/block/sda/sda1 MINOR=1 -- block ACTION=remove DEVPATH=/block/sda/sda1 MINOR=1

lf='
' cr=$(printf '\r')
# The node is the one the agent waits for, or none when it ignores the event.
expect "a space separates components" 'event 1: hotplug block ACTION=add '"'DEVPATH=/block/my disk'"' MINOR=1
  node     /dev/disk is there
  made     /mnt/disk/, mode 0755
  started  /bin/mount -t vfat -o flush,utf8 /dev/disk /mnt/disk
  exit     1' block ACTION=add 'DEVPATH=/block/my disk' MINOR=1
expect "a line feed ends the path" 'event 1: hotplug block ACTION=add DEVPATH=/block/sdb/sdb1\n/x MINOR=17
  node     /dev/sdb1 is there
  made     /mnt/sdb1/, mode 0755
  started  /bin/mount -t vfat -o flush,utf8 /dev/sdb1 /mnt/sdb1
  exit     1' block ACTION=add "DEVPATH=/block/sdb/sdb1$lf/x" MINOR=17
expect "a slash after a CR is ignored" 'event 1: hotplug block ACTION=add DEVPATH=/block/sda\x0d/../../etc MINOR=1
  ignored  the name "sda\x0d/../../etc" is "." or ".." or holds a slash
  exit     1' block ACTION=add "DEVPATH=/block/sda$cr/../../etc" MINOR=1
expect "a control byte in the name is escaped on the node line" 'event 1: hotplug block ACTION=add DEVPATH=/block/sd\x0da MINOR=1
  node     /dev/sd\x0da never appears
  made     /mnt/sd\x0da/, mode 0755
  started  /bin/mount -t vfat -o flush,utf8 /dev/sd\x0da /mnt/sd\x0da
  exit     1' --node=absent block ACTION=add "DEVPATH=/block/sd${cr}a" MINOR=1
expect "a busy stick is detached, then its mount point removed" 'event 1: hotplug block ACTION=remove DEVPATH=/block/sda/sda1 MINOR=1
  busy     /mnt/sda1 is mounted, a file on it open
  started  /bin/umount -f /mnt/sda1
  detached /mnt/sda1, its file system stays until the file is closed
  removed  /mnt/sda1/
  exit     0' --busy block ACTION=remove DEVPATH=/block/sda/sda1 MINOR=1

# A card in a reader: the agent opens the whole disk, so that the kernel
# reads the card's partitions, and leaves what is mounted alone.
expect "a media change" 'event 1: hotplug block ACTION=change DEVPATH=/block/sda MINOR=0 DEVTYPE=disk DISK_MEDIA_CHANGE=1
  node     /dev/sda is there
  opened   /dev/sda read-only and closed it: the medium is in, its mounts stay
  exit     1' block ACTION=change DEVPATH=/block/sda MINOR=0 DEVTYPE=disk DISK_MEDIA_CHANGE=1

# An event the agent ignores, by the lookup or check that says why.
# An option may come first.
ignored() {
    reason=$1 opt=
    shift
    case $1 in --*) opt=$1; shift ;; esac
    expect "ignored: $reason" "event 1: hotplug $*
  ignored  $reason
  exit     1" ${opt:+"$opt"} "$@"
}
ignored 'MINOR "0" is not positive' block ACTION=add DEVPATH=/block/sda MINOR=0
ignored 'MINOR is absent' block ACTION=add DEVPATH=/block/sda/sda1
ignored 'the whole disk "sdb" is not on a USB or MMC host' block ACTION=add DEVPATH=/block/sdb MINOR=16 DEVTYPE=disk
ignored 'DEVPATH is absent' block ACTION=remove MINOR=1
ignored 'DEVPATH "///" names no device' block ACTION=add DEVPATH=/// MINOR=1
ignored 'the name ".." is "." or ".." or holds a slash' block ACTION=add DEVPATH=/block/sda/.. MINOR=1
n59=nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn
ignored "the name \"$n59\" is longer than 58 bytes" block ACTION=add "DEVPATH=/block/$n59" MINOR=1
ignored 'no DISK_MEDIA_CHANGE=1: not a medium that came or went' block ACTION=change DEVPATH=/block/sda/sda1 MINOR=1
ignored 'a media change of other than DEVTYPE=disk' block ACTION=change DEVPATH=/block/sda/sda1 MINOR=1 \
    DEVTYPE=partition DISK_MEDIA_CHANGE=1
ignored 'no block action starts with "changed"' block ACTION=changed DEVPATH=/block/sda MINOR=0
ignored 'ACTION is absent' block DEVPATH=/block/sda/sda1 MINOR=1
ignored 'no gadget action starts with "bind"' gadget ACTION=bind
ignored 'no subsystem starts with "usb"' usb ACTION=add
ignored 'the agent takes one argument, not 2' block gadget ACTION=add

# Whole disks in a sysfs tree of their own: each reason, then one that
# mounts and its remove.
sys=$(mktemp -d)
trap 'rm -rf "$sys"' EXIT
usb=/devices/pci0000:00/0000:00:01.0/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0/block
mmc=/devices/platform/soc/1c11000.mmc/mmc_host/mmc1/mmc1:0001/block
mkdir -p "$sys$usb/sda" "$sys$usb/sdb/sdb1" "$sys$usb/sdc" "$sys$mmc/mmcblk1/mmcblk1boot0"
echo 31116288 >"$sys$usb/sda/size"
echo 31116288 >"$sys$usb/sdb/size"
echo 0 >"$sys$usb/sdc/size"
ignored 'the whole disk "sdb" has partitions: they are mounted instead' --sys="$sys" block ACTION=add \
    "DEVPATH=$usb/sdb" MINOR=16 DEVTYPE=disk
ignored 'the whole disk "sdc" has no medium (its size is 0)' --sys="$sys" block ACTION=add "DEVPATH=$usb/sdc" \
    MINOR=32 DEVTYPE=disk
ignored 'the whole disk "mmcblk1boot0" is an eMMC'"'"'s boot or RPMB area' --sys="$sys" block ACTION=add \
    "DEVPATH=$mmc/mmcblk1/mmcblk1boot0" MINOR=8 DEVTYPE=disk
ignored "the whole disk's DEVPATH \"$usb/sdd\" is not a directory under /sys" --sys="$sys" block ACTION=add \
    "DEVPATH=$usb/sdd" MINOR=48 DEVTYPE=disk
ignored 'the whole disk "sda" has no /mnt/sda' block ACTION=remove "DEVPATH=$usb/sda" MINOR=0 DEVTYPE=disk
expect "a stick without a partition table" "event 1: hotplug block ACTION=add DEVPATH=$usb/sda MINOR=0 DEVTYPE=disk
  node     /dev/sda is there
  made     /mnt/sda/, mode 0755
  started  /bin/mount -t vfat -o flush,utf8 /dev/sda /mnt/sda
  exit     1
event 2: hotplug block ACTION=remove DEVPATH=$usb/sda MINOR=0 DEVTYPE=disk
  started  /bin/umount -f /mnt/sda
  removed  /mnt/sda/
  exit     0" --sys="$sys" block ACTION=add "DEVPATH=$usb/sda" MINOR=0 DEVTYPE=disk -- \
    block ACTION=remove "DEVPATH=$usb/sda" MINOR=0 DEVTYPE=disk

for bad in "" "--node=sometimes block" "--frob block" "block ACTION=add -- --busy" "block -- --"; do
    # shellcheck disable=SC2086
    "$t" $bad >/dev/null 2>&1
    rc=$?
    [ $rc -eq 2 ] || { echo "FAIL: 'try-event $bad' exited $rc, not 2"; status=1; }
done
[ $status -eq 0 ] && echo "try-event: events, names and usage errors as expected"
exit $status

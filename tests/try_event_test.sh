#!/bin/sh
# try-event shows a stick plugged in and removed, and refuses bad usage.
# usage: try_event_test.sh TRY_EVENT
set -u
t=$1
out=$("$t" block ACTION=add DEVPATH=/block/sda/sda1 MINOR=1 -- block ACTION=remove DEVPATH=/block/sda/sda1 MINOR=1 2>&1)
case $out in
*"cannot make a sandbox here"*)
    [ "${CI:-}" = true ] && { echo "$out"; exit 1; }
    echo "skipped: $out"; exit 77 ;;
esac
expected='event 1: hotplug block ACTION=add DEVPATH=/block/sda/sda1 MINOR=1
  node     /dev/sda1 is there
  made     /mnt/sda1/, mode 0755
  started  /bin/mount -t vfat /dev/sda1 /mnt/sda1
  exit     1
event 2: hotplug block ACTION=remove DEVPATH=/block/sda/sda1 MINOR=1
  started  /bin/umount -f /mnt/sda1
  removed  /mnt/sda1/
  exit     0'
got=$(printf '%s\n' "$out" | sed 's/ (after [0-9.]* s)$//')
if [ "$got" != "$expected" ]; then
    printf 'FAIL: plug-in and removal\n--- expected\n%s\n--- got\n%s\n' "$expected" "$got"
    exit 1
fi

status=0
for bad in "" "--node=sometimes block" "--frob block" "block ACTION=add -- --busy" "block -- --"; do
    # shellcheck disable=SC2086
    "$t" $bad >/dev/null 2>&1
    rc=$?
    [ $rc -eq 2 ] || { echo "FAIL: 'try-event $bad' exited $rc, not 2"; status=1; }
done
[ $status -eq 0 ] && echo "try-event: plug-in, removal and usage errors as expected"
exit $status

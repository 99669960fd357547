#!/bin/sh
# SPDX-License-Identifier: MIT
# mdev's automount rule on the boards, as small systems commonly set it up.
case $ACTION in
add) mkdir -p /mnt/$MDEV && mount -t vfat -o flush /dev/$MDEV /mnt/$MDEV ;;
remove) umount -f /mnt/$MDEV; rmdir /mnt/$MDEV ;;
esac

// SPDX-License-Identifier: MIT
#pragma once

#include <stdint.h>

// Where device nodes and mount points are: NAME goes right after these.
constexpr char node_prefix[] = "/dev/";
constexpr char mount_prefix[] = "/mnt/";

constexpr int devbuf2_size = 128;
constexpr int mountdev_size = 150;
constexpr int mntptr_size = 64;

extern char devbuf2[devbuf2_size];
extern char mountdev[mountdev_size];
extern char mntptr[mntptr_size];

int32_t block_handler();

// What the checks of a block event found: ok when it is one to act on,
// otherwise the first reason it is ignored.
enum class block_check {
    ok,
    minor_absent,
    minor_not_positive,
    whole_disk,      // DEVTYPE=disk: the disk checks below decide
    devpath_absent,
    no_component,    // DEVPATH holds no name
    name_too_long,   // for /mnt/NAME
    name_unsafe,     // ".", "..", or a slash in it
    no_media_change, // a change without DISK_MEDIA_CHANGE=1
    not_whole_disk,  // a media change of other than DEVTYPE=disk
    // A whole disk is mounted only when it holds a file system of its own:
    not_on_host,     // not behind a USB or MMC host (loop, ram, dm, md...)
    emmc_area,       // an eMMC's boot or RPMB area
    not_in_sysfs,    // DEVPATH's directory under /sys cannot be read
    no_medium,       // size 0: a card reader without its card
    partitioned,     // the kernel found partitions: they are mounted instead
    not_mounted,     // a whole disk's remove without /mnt/NAME
};

// Checks a partition's event (or one without DEVTYPE) and fills the path
// buffers; whole_disk for DEVTYPE=disk, whose checks are disk_prepare's.
// devtype may be null.
block_check block_prepare(const char *devpath, const char *minor, const char *devtype);

// Checks a whole disk's add and fills the path buffers: ok when the disk
// holds a medium without partitions behind a USB or MMC host, as sysfs (a
// directory opened on /sys) shows it.
block_check disk_prepare(int sysfs, const char *devpath);

// What a block event with the environment env does, without doing it: the
// action its ACTION selects, with the path buffers filled as that action
// fills them; none when no action is selected or the event is ignored, and
// then *check says which check ignored it (ok: no action). For tools that
// show events. sysfs: a directory opened on /sys.
enum class block_step { none, add, remove, change };
block_step block_reached(char *const *env, int sysfs, block_check *check);

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
    whole_disk,      // DEVTYPE=disk
    devpath_absent,
    no_component,    // DEVPATH holds no name
    name_too_long,   // for /mnt/NAME
    name_unsafe,     // ".", "..", or a slash in it
    no_media_change, // a change without DISK_MEDIA_CHANGE=1
    not_whole_disk,  // a media change of other than DEVTYPE=disk
};

// Checks the event and fills the path buffers. devtype may be null.
block_check block_prepare(const char *devpath, const char *minor, const char *devtype);

// What a block event with the environment env does, without doing it: the
// action its ACTION selects, with the path buffers filled as that action
// fills them; none when no action is selected or the event is ignored, and
// then *check says which check ignored it (ok: no action). For tools that
// show events.
enum class block_step { none, add, remove, change };
block_step block_reached(char *const *env, block_check *check);

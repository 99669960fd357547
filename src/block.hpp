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

// Checks the event and fills the path buffers. True when the event is one
// to act on; false when it is ignored. devtype may be null.
bool block_prepare(const char *devpath, const char *minor, const char *devtype);

// What a block event with the environment env does, without doing it: the
// action its ACTION selects, with the path buffers filled as that action
// fills them; none when the event is ignored. For tools that show events.
enum class block_step { none, add, remove };
block_step block_reached(char *const *env);

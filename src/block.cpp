#include "block.hpp"

#include "token.hpp"
#include "util.hpp"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

char devbuf2[devbuf2_size];
char mountdev[mountdev_size];
char mntptr[mntptr_size];

namespace {

constexpr int node_tests = 100;
constexpr useconds_t node_sleep_us = 10000;
constexpr size_t max_name = mntptr_size - sizeof "/mnt/";

void join(char *dst, const char *prefix, const char *name)
{
    size_t n = strlen(prefix);
    memcpy(dst, prefix, n);
    strcpy(dst + n, name);
}

// "." and ".." would make the mount point /mnt or /; a slash (after a CR,
// which the conversion stops at) would make it a path below another one.
bool safe_name(const char *name)
{
    if (strlen(name) > max_name || strchr(name, '/'))
        return false;
    return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

int32_t block_add()
{
    if (!block_prepare(getenv("DEVPATH"), getenv("MINOR")))
        return 1;

    if (access(mntptr, F_OK) != 0 && mkdir(mntptr, 0755) != 0)
        return -1;

    for (int i = 0; i < node_tests; i++) {
        if (access(mountdev, F_OK) == 0)
            break;
        usleep(node_sleep_us);
    }
    mount_run(mountdev, mntptr);
    return 1;
}

int32_t block_remove()
{
    if (!block_prepare(getenv("DEVPATH"), getenv("MINOR")))
        return 1;

    umount_run(mntptr);
    sleep(1);
    return rmdir(mntptr) == 0 ? 0 : -1;
}

const subsystem_entry block_subsystem[] = {
    {"add", block_add},
    {"remove", block_remove},
    {nullptr, nullptr},
};

} // namespace

bool block_prepare(const char *devpath, const char *minor)
{
    if (!minor || decimal_value(minor) <= 0)
        return false;
    // Reject rather than truncate: a cut path or name can be another device's.
    if (!devpath || strlen(devpath) >= devbuf2_size)
        return false;

    memset(devbuf2, 0, sizeof devbuf2);
    memset(mountdev, 0, sizeof mountdev);
    memset(mntptr, 0, sizeof mntptr);

    strcpy(devbuf2, devpath);
    convert_special_character(devbuf2, '/', ' ');
    if (parse_process(devbuf2) == 0)
        return false;

    const char *name = tokenset.token[tokenset.count - 1];
    if (!safe_name(name))
        return false;

    join(mountdev, "/dev/", name);
    join(mntptr, "/mnt/", name);
    return true;
}

int32_t block_handler()
{
    return call_action(block_subsystem);
}

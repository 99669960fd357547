#include "block.hpp"

#include "token.hpp"
#include "util.hpp"

#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

char devbuf2[devbuf2_size];
char mountdev[mountdev_size];
char mntptr[mntptr_size];

namespace {

constexpr int node_tests = 100;
constexpr useconds_t node_sleep_us = 10000;

// prefix and name into dst; false when they do not fit.
bool join(char *dst, size_t size, const char *prefix, const char *name, size_t n)
{
    size_t p = strlen(prefix);
    if (p + n >= size)
        return false;
    memcpy(dst, prefix, p);
    memcpy(dst + p, name, n + 1);
    return true;
}

// "." and ".." would make the mount point /mnt or /; a slash (after a CR,
// which the conversion stops at) would make it a path below another one.
bool safe_name(const char *name)
{
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
        return false;
    for (const char *p = name; *p; p++)
        if (*p == '/')
            return false;
    return true;
}

// Slashes separate components up to the path's first CR, spaces throughout.
bool separates(const char *path, size_t i, size_t slashes)
{
    return path[i] == ' ' || (path[i] == '/' && i < slashes);
}

// A path longer than devbuf2 (a host behind a PCIe bridge and hubs) keeps its
// last components that fit, leading ones dropped whole, so that the name is
// the one the whole path gives: never cut, never another device's. A last
// component that alone does not fit is too long for any mount point.
// Out of line, so that the short path keeps its small frame.
[[gnu::noinline]] block_check take_tail(const char *path)
{
    // Where slashes stop separating (the first CR, LF or the end), then where
    // the path ends (its first LF). Bytes above CR cost one comparison.
    size_t slashes = 0;
    while (static_cast<unsigned char>(path[slashes]) > '\r' ||
           (path[slashes] && path[slashes] != '\n' && path[slashes] != '\r'))
        slashes++;
    size_t end = slashes;
    while (path[end] && path[end] != '\n')
        end++;
    while (end > 0 && separates(path, end - 1, slashes))
        end--;
    size_t start = end < devbuf2_size ? 0 : end - (devbuf2_size - 1);
    while (start > 0 && start < end && !separates(path, start - 1, slashes))
        start++;
    if (start == end)
        return end == 0 ? block_check::no_component : block_check::name_too_long;
    memcpy(devbuf2, path + start, end - start);
    // With the CR dropped, its slashes still do not separate.
    if (start <= slashes)
        convert_special_character(devbuf2, '/', ' ');
    return block_check::ok;
}

// devbuf2 from DEVPATH, its separating slashes turned into spaces.
block_check take_path(const char *path)
{
    size_t len = strlen(path);
    if (len >= devbuf2_size)
        return take_tail(path);
    memcpy(devbuf2, path, len + 1);
    convert_special_character(devbuf2, '/', ' ');
    return block_check::ok;
}

block_check prepare(char *const *env)
{
    return block_prepare(env_find(env, "DEVPATH"), env_find(env, "MINOR"), env_find(env, "DEVTYPE"));
}

int32_t block_add()
{
    if (prepare(environ) != block_check::ok)
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
    if (prepare(environ) != block_check::ok)
        return 1;

    umount_run(mntptr);
    sleep(1);
    // A forced unmount cannot take a VFAT mount that a program still has a
    // file open on; left there, the stick's next plug shifts to a new name.
    // With the device gone, detach it: it leaves /mnt now and goes when its
    // last user lets go. A node that is back is a replugged stick's, mounted
    // by its own add, and stays. Not a mount point: the call fails, harmless.
    if (access(mountdev, F_OK) != 0)
        umount2(mntptr, MNT_DETACH | UMOUNT_NOFOLLOW);
    return rmdir(mntptr) == 0 ? 0 : -1;
}

const subsystem_entry block_subsystem[] = {
    {"add", block_add},
    {"remove", block_remove},
    {nullptr, nullptr},
};

} // namespace

block_check block_prepare(const char *devpath, const char *minor, const char *devtype)
{
    if (!minor)
        return block_check::minor_absent;
    if (decimal_value(minor) <= 0)
        return block_check::minor_not_positive;
    // Minor 0 marks only the first whole disk. A mount of a later one (sdb,
    // minor 16) claims the disk and makes the mount of its partition fail.
    if (devtype && strcmp(devtype, "disk") == 0)
        return block_check::whole_disk;
    if (!devpath)
        return block_check::devpath_absent;

    memset(devbuf2, 0, sizeof devbuf2);
    memset(mountdev, 0, sizeof mountdev);
    memset(mntptr, 0, sizeof mntptr);

    if (block_check path = take_path(devpath); path != block_check::ok)
        return path;
    if (parse_process(devbuf2) == 0)
        return block_check::no_component;

    const char *name = tokenset.token[tokenset.count - 1];
    size_t n = strlen(name);
    if (!safe_name(name))
        return block_check::name_unsafe;
    if (!join(mountdev, mountdev_size, node_prefix, name, n) || !join(mntptr, mntptr_size, mount_prefix, name, n))
        return block_check::name_too_long;
    return block_check::ok;
}

block_step block_reached(char *const *env, block_check *check)
{
    const subsystem_entry *row = find_entry(event_action(env), block_subsystem);
    *check = row ? prepare(env) : block_check::ok;
    if (!row || *check != block_check::ok)
        return block_step::none;
    if (row->handler == block_add)
        return block_step::add;
    return row->handler == block_remove ? block_step::remove : block_step::none;
}

int32_t block_handler()
{
    return call_subsystem(event_action(environ), block_subsystem);
}

#include "block.hpp"

#include "token.hpp"
#include "util.hpp"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

char devbuf2[devbuf2_size];
char mountdev[mountdev_size];
char mntptr[mntptr_size];

namespace {

constexpr int node_tests = 100;
constexpr useconds_t node_sleep_us = 10000;

// The kernel's record of one entry, as getdents64 fills it.
struct dirent_record {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[];
};

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

// The path checks of an event: NAME from devpath, and the buffers filled.
block_check block_paths(const char *devpath)
{
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

block_check prepare(char *const *env)
{
    return block_prepare(env_find(env, "DEVPATH"), env_find(env, "MINOR"), env_find(env, "DEVTYPE"));
}

bool is(const char *value, const char *want)
{
    return value && strcmp(value, want) == 0;
}

// A change event the agent acts on: a whole disk's medium came or went.
block_check prepare_change(char *const *env)
{
    if (!is(env_find(env, "DISK_MEDIA_CHANGE"), "1"))
        return block_check::no_media_change;
    if (!is(env_find(env, "DEVTYPE"), "disk"))
        return block_check::not_whole_disk;
    return block_paths(env_find(env, "DEVPATH"));
}

void wait_for_node()
{
    for (int i = 0; i < node_tests; i++) {
        if (access(mountdev, F_OK) == 0)
            return;
        usleep(node_sleep_us);
    }
}

int32_t block_add()
{
    if (prepare(environ) != block_check::ok)
        return 1;

    if (access(mntptr, F_OK) != 0 && mkdir(mntptr, 0755) != 0)
        return -1;

    wait_for_node();
    mount_run(mountdev, mntptr);
    return 1;
}

// Opening a disk makes the kernel look at its medium: it reads a new card's
// partition table, or, with the card gone, drops the partitions that no one
// holds open. 0, or the open's error.
int open_disk()
{
    int fd = open(mountdev, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

// Whether entry is the name of a partition of disk: the disk's name, a "p"
// when that ends in a digit (mmcblk0p1), then the partition's number.
bool partition_of(const char *entry, const char *disk, size_t n)
{
    if (strncmp(entry, disk, n) != 0)
        return false;
    const char *p = entry + n;
    if (disk[n - 1] >= '0' && disk[n - 1] <= '9' && *p++ != 'p')
        return false;
    if (*p < '1' || *p > '9')
        return false;
    while (*p >= '0' && *p <= '9')
        p++;
    return *p == '\0';
}

// Lets go of the mounts of the disk's partitions under /mnt, as a remove
// does for a pulled stick: the card is gone, so nothing is left to write; a
// mount a program still uses is detached. Listed with getdents64 into the
// stack: opendir would allocate.
void release_partitions(const char *disk)
{
    int dir = open(mount_prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    size_t n = strlen(disk);
    alignas(8) char buf[1024];
    long got;
    while ((got = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
        for (long at = 0; at < got;) {
            const dirent_record *d = reinterpret_cast<const dirent_record *>(buf + at);
            at += d->reclen;
            if (!partition_of(d->name, disk, n))
                continue;
            memset(mntptr, 0, sizeof mntptr);
            if (!join(mntptr, mntptr_size, mount_prefix, d->name, strlen(d->name)))
                continue;
            umount2(mntptr, MNT_DETACH | UMOUNT_NOFOLLOW);
            rmdir(mntptr);
        }
    }
    close(dir);
}

// A removable disk's medium came or went (a card in a USB card reader). The
// kernel only reports it; it reads a card's partitions when the disk is
// opened, and until then reports no further change.
int32_t block_change()
{
    if (prepare_change(environ) != block_check::ok)
        return 1;

    wait_for_node();
    // A card is in while the open succeeds: its mounts stay.
    if (open_disk() != ENOMEDIUM)
        return 1;
    release_partitions(tokenset.token[tokenset.count - 1]);
    open_disk();
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
    {"change", block_change},
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
    if (is(devtype, "disk"))
        return block_check::whole_disk;
    return block_paths(devpath);
}

block_step block_reached(char *const *env, block_check *check)
{
    const subsystem_entry *row = find_entry(event_action(env), block_subsystem);
    if (!row) {
        *check = block_check::ok;
        return block_step::none;
    }
    bool change = row->handler == block_change;
    *check = change ? prepare_change(env) : prepare(env);
    if (*check != block_check::ok)
        return block_step::none;
    if (change)
        return block_step::change;
    return row->handler == block_add ? block_step::add : block_step::remove;
}

int32_t block_handler()
{
    return call_subsystem(event_action(environ), block_subsystem);
}

// SPDX-License-Identifier: MIT
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

bool is(const char *value, const char *want)
{
    return value && strcmp(value, want) == 0;
}

const char *after_digits(const char *p)
{
    while (*p >= '0' && *p <= '9')
        p++;
    return p;
}

// Whether the component [p, end) of a device path is a USB bus (usb1, its
// root hub) or an MMC host: where the media that people bring sit.
bool host_component(const char *p, const char *end)
{
    if (end - p == 8 && memcmp(p, "mmc_host", 8) == 0)
        return true;
    if (end - p <= 3 || memcmp(p, "usb", 3) != 0)
        return false;
    return after_digits(p + 3) == end;
}

// mmcblkNbootM or mmcblkNrpmb: an eMMC's boot or RPMB area.
bool emmc_area_name(const char *name)
{
    if (strncmp(name, "mmcblk", 6) != 0)
        return false;
    const char *area = after_digits(name + 6);
    if (area == name + 6)
        return false;
    if (strcmp(area, "rpmb") == 0)
        return true;
    if (strncmp(area, "boot", 4) != 0)
        return false;
    const char *end = after_digits(area + 4);
    return end > area + 4 && *end == '\0';
}

// Where a whole disk sits, from all of DEVPATH (devbuf2 may hold only its
// tail): behind a USB or MMC host, and in the host's block directory, not
// below another disk as an eMMC's boot areas are. Virtual disks (loop, ram,
// zram, nbd, dm, md, mtdblock) sit under /devices/virtual or on no such
// host. A ".." would leave the disk's own directory under /sys.
block_check disk_place(const char *devpath, const char *name)
{
    bool host = false;
    const char *parent = "", *parent_end = parent;
    const char *last = "", *last_end = last;
    for (const char *p = devpath; *p;) {
        while (*p == '/')
            p++;
        const char *end = p;
        while (*end && *end != '/')
            end++;
        if (end == p)
            break;
        if (end - p == 2 && p[0] == '.' && p[1] == '.')
            return block_check::not_on_host;
        host |= host_component(last, last_end); // the disk's own name aside
        parent = last, parent_end = last_end;
        last = p, last_end = end;
        p = end;
    }
    if (!host)
        return block_check::not_on_host;
    if (parent_end - parent != 5 || memcmp(parent, "block", 5) != 0 || emmc_area_name(name))
        return block_check::emmc_area;
    return block_check::ok;
}

// Calls fn with each entry of the directory dir and arg until fn returns
// true; whether it did. getdents64 into the stack: opendir would allocate.
bool any_entry(int dir, bool (*fn)(const char *entry, const char *arg), const char *arg)
{
    alignas(8) char buf[1024];
    long got;
    while ((got = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
        for (long at = 0; at < got;) {
            const dirent_record *d = reinterpret_cast<const dirent_record *>(buf + at);
            at += d->reclen;
            if (fn(d->name, arg))
                return true;
        }
    }
    return false;
}

// Whether entry is the name of a partition of disk: the disk's name, a "p"
// when that ends in a digit (mmcblk0p1), then the partition's number.
bool partition_of(const char *entry, const char *disk)
{
    size_t n = strlen(disk);
    if (n == 0 || strncmp(entry, disk, n) != 0)
        return false;
    const char *p = entry + n;
    if (disk[n - 1] >= '0' && disk[n - 1] <= '9' && *p++ != 'p')
        return false;
    if (*p < '1' || *p > '9')
        return false;
    return *after_digits(p) == '\0';
}

// A disk's size in sectors is 0 while it has no medium.
bool has_medium(int dir)
{
    char size[24] = {};
    int fd = openat(dir, "size", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, size, sizeof size - 1);
    close(fd);
    return n > 0 && decimal_value(size) > 0;
}

// What sysfs says of the disk: a medium, and no partition found on it.
block_check disk_media(int sysfs, const char *devpath, const char *name)
{
    while (*devpath == '/')
        devpath++;
    int dir = openat(sysfs, devpath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return block_check::not_in_sysfs;
    block_check check = block_check::ok;
    if (!has_medium(dir))
        check = block_check::no_medium;
    else if (any_entry(dir, partition_of, name))
        check = block_check::partitioned;
    close(dir);
    return check;
}

// A whole disk's add, read from /sys (or sysfs, when it is not negative).
// Out of line, so that a partition's add keeps its small frame.
[[gnu::noinline]] block_check disk_add_check(const char *devpath, int sysfs)
{
    if (sysfs >= 0)
        return disk_prepare(sysfs, devpath);
    int sys = open("/sys", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    block_check check = disk_prepare(sys, devpath);
    if (sys >= 0)
        close(sys);
    return check;
}

block_check prepare(char *const *env)
{
    return block_prepare(env_find(env, "DEVPATH"), env_find(env, "MINOR"), env_find(env, "DEVTYPE"));
}

block_check prepare_add(char *const *env, int sysfs)
{
    block_check check = prepare(env);
    return check == block_check::whole_disk ? disk_add_check(env_find(env, "DEVPATH"), sysfs) : check;
}

// A whole disk's remove has no sysfs left to read: /mnt/NAME tells that its
// add mounted it. A partitioned disk never has one.
block_check prepare_remove(char *const *env)
{
    block_check check = prepare(env);
    if (check != block_check::whole_disk)
        return check;
    const char *devpath = env_find(env, "DEVPATH");
    if ((check = block_paths(devpath)) != block_check::ok)
        return check;
    if ((check = disk_place(devpath, tokenset.token[tokenset.count - 1])) != block_check::ok)
        return check;
    return access(mntptr, F_OK) == 0 ? block_check::ok : block_check::not_mounted;
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
    if (prepare_add(environ, -1) != block_check::ok)
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

// Lets go of the mount of a disk without partitions, or of one of its
// partitions, at /mnt/entry, as a remove does for a pulled stick: the card
// is gone, so nothing is left to write; a mount a program still uses is
// detached.
bool release(const char *entry, const char *disk)
{
    if (strcmp(entry, disk) != 0 && !partition_of(entry, disk))
        return false;
    memset(mntptr, 0, sizeof mntptr);
    if (join(mntptr, mntptr_size, mount_prefix, entry, strlen(entry))) {
        umount2(mntptr, MNT_DETACH | UMOUNT_NOFOLLOW);
        rmdir(mntptr);
    }
    return false;
}

void release_disk(const char *disk)
{
    int dir = open(mount_prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    any_entry(dir, release, disk);
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
    switch (open_disk()) {
    case 0:
        // A card is in: its mounts stay. One without partitions gets no add
        // of its own, so its disk's add mounts it; /mnt/NAME there is its
        // earlier mount.
        if (access(mntptr, F_OK) != 0)
            block_add();
        return 1;
    case ENOMEDIUM:
        release_disk(tokenset.token[tokenset.count - 1]);
        open_disk();
        return 1;
    default:
        return 1;
    }
}

int32_t block_remove()
{
    if (prepare_remove(environ) != block_check::ok)
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
    // A whole disk is no partition's: sda has minor 0, and a mount of a
    // partitioned disk would claim it and make its partitions' mounts fail.
    if (is(devtype, "disk"))
        return block_check::whole_disk;
    if (!minor)
        return block_check::minor_absent;
    if (decimal_value(minor) <= 0)
        return block_check::minor_not_positive;
    return block_paths(devpath);
}

block_check disk_prepare(int sysfs, const char *devpath)
{
    block_check check = block_paths(devpath);
    if (check != block_check::ok)
        return check;
    const char *name = tokenset.token[tokenset.count - 1];
    if ((check = disk_place(devpath, name)) != block_check::ok)
        return check;
    return disk_media(sysfs, devpath, name);
}

block_step block_reached(char *const *env, int sysfs, block_check *check)
{
    const subsystem_entry *row = find_entry(event_action(env), block_subsystem);
    if (!row) {
        *check = block_check::ok;
        return block_step::none;
    }
    bool change = row->handler == block_change;
    if (change)
        *check = prepare_change(env);
    else
        *check = row->handler == block_add ? prepare_add(env, sysfs) : prepare_remove(env);
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

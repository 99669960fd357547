// SPDX-License-Identifier: MIT
// Arbitrary DEVPATH and MINOR values through the block actions' preparation
// (the part before any file system call or program start). The input is
// DEVPATH, a NUL, then MINOR. Whatever comes in, an accepted event names one
// plain directory right below /mnt and its node right below /dev, and the
// name is the last component of the whole path, however long the path is.
#include "block.hpp"
#include "util.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

char devpath[512];
char minor[64];

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void take(char *dst, size_t room, const uint8_t *src, size_t len)
{
    if (len >= room)
        len = room - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

// The last component of the whole path, read with no bound: the path ends
// at its first line feed, spaces separate, and slashes do up to the first CR.
size_t last_component(const char *path, const char **start)
{
    size_t end = strcspn(path, "\n");
    const char *cr = static_cast<const char *>(memchr(path, '\r', end));
    size_t slashes = cr ? size_t(cr - path) : end;
    auto separates = [&](size_t i) { return path[i] == ' ' || (path[i] == '/' && i < slashes); };
    while (end > 0 && separates(end - 1))
        end--;
    size_t begin = end;
    while (begin > 0 && !separates(begin - 1))
        begin--;
    *start = path + begin;
    return end - begin;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *split = static_cast<const uint8_t *>(memchr(data, 0, size));
    size_t first = split ? size_t(split - data) : size;
    take(devpath, sizeof devpath, data, first);
    take(minor, sizeof minor, split ? split + 1 : data + size, split ? size - first - 1 : 0);

    // A whole disk's checks of where it sits, with no sysfs to read: never
    // accepted, and never past the buffers.
    check(disk_prepare(-1, devpath) != block_check::ok);

    bool accepted = block_prepare(devpath, minor, nullptr) == block_check::ok;
    const char *want;
    size_t n = last_component(devpath, &want);
    bool dots = (n == 1 && want[0] == '.') || (n == 2 && want[0] == '.' && want[1] == '.');
    bool fits = n > 0 && n <= mntptr_size - 6 && !dots && !memchr(want, '/', n);
    check(accepted == (decimal_value(minor) > 0 && fits));
    if (!accepted)
        return 0;

    check(strlen(mntptr + 5) == n && memcmp(mntptr + 5, want, n) == 0);
    check(strncmp(mntptr, "/mnt/", 5) == 0 && strncmp(mountdev, "/dev/", 5) == 0);
    const char *name = mntptr + 5;
    size_t len = strnlen(mntptr, mntptr_size);
    check(len < mntptr_size && len > 5);
    check(strcmp(mountdev + 5, name) == 0);
    check(!strchr(name, '/') && !strchr(name, ' ') && !strchr(name, '\n'));
    check(strcmp(name, ".") != 0 && strcmp(name, "..") != 0);
    check(strstr(devpath, name) != nullptr);
    return 0;
}

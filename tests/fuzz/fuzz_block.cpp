// Arbitrary DEVPATH and MINOR values through the block actions' preparation
// (the part before any file system call or program start). The input is
// DEVPATH, a NUL, then MINOR. Whatever comes in, an accepted event names one
// plain directory right below /mnt and its node right below /dev.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *split = static_cast<const uint8_t *>(memchr(data, 0, size));
    size_t first = split ? size_t(split - data) : size;
    take(devpath, sizeof devpath, data, first);
    take(minor, sizeof minor, split ? split + 1 : data + size, split ? size - first - 1 : 0);

    bool accepted = block_prepare(devpath, minor, nullptr);
    if (!accepted)
        return 0;

    check(decimal_value(minor) > 0);
    check(strlen(devpath) < devbuf2_size);
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

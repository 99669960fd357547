// SPDX-License-Identifier: MIT
#include "util.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace {

// text past prefix when text starts with it, otherwise null.
const char *skip_prefix(const char *text, const char *prefix)
{
    for (; *prefix; prefix++, text++)
        if (*text != *prefix)
            return nullptr;
    return text;
}

} // namespace

const subsystem_entry *find_entry(const char *name, const subsystem_entry *table)
{
    if (!name)
        return nullptr;
    for (const subsystem_entry *row = table; row->name; row++)
        if (skip_prefix(row->name, name))
            return row;
    return nullptr;
}

int32_t call_subsystem(const char *name, const subsystem_entry *table)
{
    const subsystem_entry *row = find_entry(name, table);
    return row ? row->handler() : 1;
}

const char *env_find(char *const *env, const char *name)
{
    for (char *const *e = env; *e; e++) {
        if (**e != *name) // most variables differ in their first byte
            continue;
        const char *v = skip_prefix(*e, name);
        if (v && *v == '=')
            return v + 1;
    }
    return nullptr;
}

const char *event_action(char *const *env)
{
    return env_find(env, "ACTION");
}

int32_t decimal_value(const char *text)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;

    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        p++;

    // Accumulate as a negative number: its range reaches INT32_MIN.
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 - (*p - '0');
        if (value < INT32_MIN)
            return negative ? INT32_MIN : INT32_MAX;
    }
    if (!negative)
        return value < -INT32_MAX ? INT32_MAX : static_cast<int32_t>(-value);
    return static_cast<int32_t>(value);
}

namespace {

// A kernel starts us with 0, 1 and 2 closed; a child must not take the first
// file it opens for its standard output. Open ones are left as inherited.
// A closed 2 goes to the kernel log, so that a mount that fails says why
// where an operator looks; 0 and 1 go to /dev/null, so that a chatty
// script does not flood the log.
void fill_standard_fds()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // The lowest free descriptor is fd, since all below it are open.
        if (fd == 2 && open("/dev/kmsg", O_WRONLY) != -1)
            continue;
        if (open("/dev/null", O_RDWR) == -1)
            return;
    }
}

} // namespace

void launch(const char *const argv[])
{
    if (fork() != 0)
        return;

    fill_standard_fds();
    execv(argv[0], const_cast<char *const *>(argv));
    _exit(0);
}

// flush: a file's data and the FAT go out when it is closed, not half a
// minute later; a stick has no eject button and is simply pulled. utf8:
// long names are UTF-8, as every desktop writes them; the kernel's default
// character set would turn what is not Latin-1 into "?".
int32_t mount_run(const char *dev, const char *dir)
{
    const char *const argv[] = {mount_program, "-t", "vfat", "-o", "flush,utf8", dev, dir, nullptr};
    launch(argv);
    return 0;
}

int32_t umount_run(const char *dir)
{
    const char *const argv[] = {umount_program, "-f", dir, nullptr};
    launch(argv);
    return 0;
}

int32_t load_module(const char *name)
{
    const char *const argv[] = {modprobe_program, name, nullptr};
    launch(argv);
    return 0;
}

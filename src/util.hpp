#pragma once

#include <stdint.h>

// One row of a dispatch table; a table ends with a row whose name is null.
struct subsystem_entry {
    const char *name;
    int32_t (*handler)();
};

int32_t call_subsystem(const char *name, const subsystem_entry *table);

// The value of the environment variable name, or null. What getenv does,
// without a call per variable: the kernel passes about ten, and this runs
// for every one of ACTION, DEVPATH, MINOR and DEVTYPE.
const char *env_value(const char *name);

// A subsystem handler's dispatch: ACTION looked up in the action table,
// result 1 when it is absent.
int32_t call_action(const subsystem_entry *table);

// Decimal text to a signed 32-bit value: leading white space, optional sign,
// digits up to the first other byte, saturating at the ends of the range.
int32_t decimal_value(const char *text);

// Starts argv[0] with argv and the inherited environment; never waits.
void launch(const char *const argv[]);

int32_t mount_run(const char *dev, const char *dir);
int32_t umount_run(const char *dir);
int32_t load_module(const char *name);

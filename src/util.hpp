// SPDX-License-Identifier: MIT
#pragma once

#include <stdint.h>

// The programs the agent starts; the sandbox puts its stand-ins there.
constexpr char mount_program[] = "/bin/mount";
constexpr char umount_program[] = "/bin/umount";
constexpr char modprobe_program[] = "/sbin/modprobe";

using handler_fn = int32_t (*)();

// One row of a dispatch table; a table ends with a row whose name is null.
struct subsystem_entry {
    const char *name;
    handler_fn handler;
};

// The row of table that name selects (the first whose name starts with
// it), or null; a null name selects none. The rule behind every dispatch.
const subsystem_entry *find_entry(const char *name, const subsystem_entry *table);

// Runs the row of table that name selects and returns its handler's result;
// 1 when none does. The walk behind both levels of dispatch.
int32_t call_subsystem(const char *name, const subsystem_entry *table);

// The value of the variable name in env, or null: the first one wins, as
// with getenv, without a call per variable (the kernel passes about ten,
// and this runs for every one of ACTION, DEVPATH, MINOR and DEVTYPE).
const char *env_find(char *const *env, const char *name);

// The event's ACTION in env, or null: what a subsystem handler dispatches on.
const char *event_action(char *const *env);

// Decimal text to a signed 32-bit value: leading white space, optional sign,
// digits up to the first other byte, saturating at the ends of the range.
int32_t decimal_value(const char *text);

// Starts argv[0] with argv and the inherited environment; never waits.
void launch(const char *const argv[]);

int32_t mount_run(const char *dev, const char *dir);
int32_t umount_run(const char *dir);
int32_t load_module(const char *name);

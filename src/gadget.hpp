// SPDX-License-Identifier: MIT
#pragma once

#include <stdint.h>

// The integrator's scripts, started on add and on remove.
constexpr char gadget_add_script[] = "/etc/quorvane/gadget.sh";
constexpr char gadget_remove_script[] = "/etc/quorvane/ugadget.sh";

int32_t gadget_handler();

// Whether the ACTION of env selects a gadget action. For tools that show events.
bool gadget_reached(char *const *env);

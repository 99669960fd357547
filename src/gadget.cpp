// SPDX-License-Identifier: MIT
#include "gadget.hpp"

#include "util.hpp"

#include <unistd.h>

namespace {

int32_t gadget_add()
{
    const char *const argv[] = {gadget_add_script, nullptr};
    launch(argv);
    return 1;
}

int32_t gadget_remove()
{
    const char *const argv[] = {gadget_remove_script, nullptr};
    launch(argv);
    return 0;
}

const subsystem_entry gadget_subsystem[] = {
    {"add", gadget_add},
    {"remove", gadget_remove},
    {nullptr, nullptr},
};

} // namespace

bool gadget_reached(char *const *env)
{
    return find_entry(event_action(env), gadget_subsystem) != nullptr;
}

int32_t gadget_handler()
{
    return call_subsystem(event_action(environ), gadget_subsystem);
}

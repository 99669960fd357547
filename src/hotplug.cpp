// SPDX-License-Identifier: MIT
#include "hotplug.hpp"

#include "block.hpp"
#include "gadget.hpp"
#include "util.hpp"

namespace {

// For strings(1) on a device's binary; never read, so it costs no event anything.
[[gnu::used, gnu::retain]] const char version[] = "hotplug " HOTPLUG_VERSION;

const subsystem_entry main_subsystem[] = {
    {"block", block_handler},
    {"gadget", gadget_handler},
    {nullptr, nullptr},
};

// The subsystem the kernel names in our one argument; null without exactly one.
const char *subsystem_name(int argc, char **argv)
{
    return argc == 2 ? argv[1] : nullptr;
}

} // namespace

const subsystem_entry *main_entry(int argc, char **argv)
{
    return find_entry(subsystem_name(argc, argv), main_subsystem);
}

int main(int argc, char **argv)
{
    return call_subsystem(subsystem_name(argc, argv), main_subsystem);
}

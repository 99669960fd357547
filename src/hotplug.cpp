#include "hotplug.hpp"

#include "block.hpp"
#include "gadget.hpp"
#include "util.hpp"

namespace {

const subsystem_entry main_subsystem[] = {
    {"block", block_handler},
    {"gadget", gadget_handler},
    {nullptr, nullptr},
};

} // namespace

const subsystem_entry *main_entry(int argc, char **argv)
{
    return argc == 2 ? find_entry(argv[1], main_subsystem) : nullptr;
}

// Weak: try-event links this module for main_entry and brings its own main.
[[gnu::weak]] int main(int argc, char **argv)
{
    return run_entry(main_entry(argc, argv));
}

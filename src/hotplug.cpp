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

handler_fn main_handler(int argc, char **argv)
{
    if (argc != 2)
        return nullptr;
    const subsystem_entry *row = find_entry(argv[1], main_subsystem);
    return row ? row->handler : nullptr;
}

// Weak: try-event links this module for main_handler and brings its own main.
[[gnu::weak]] int main(int argc, char **argv)
{
    handler_fn handler = main_handler(argc, argv);
    return handler ? handler() : 1;
}

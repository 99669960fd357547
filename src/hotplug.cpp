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

int main(int argc, char **argv)
{
    if (argc != 2)
        return 1;
    return call_subsystem(argv[1], main_subsystem);
}

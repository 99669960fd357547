// SPDX-License-Identifier: MIT
// Calls one launcher the way the block actions do, for tests that need a
// launcher the agent itself never calls (load_module) or a bare launch.
#include "util.hpp"

#include <string.h>

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "mount") == 0)
        return mount_run(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "umount") == 0)
        return umount_run(argv[2]);
    if (argc == 3 && strcmp(argv[1], "modprobe") == 0)
        return load_module(argv[2]);
    return 100;
}

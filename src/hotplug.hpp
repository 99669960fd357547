// SPDX-License-Identifier: MIT
#pragma once

#include "util.hpp"

// The agent's entry: main looks its one argument up in the subsystem table
// and exits with the handler's result.
int main(int argc, char **argv);

// The row of the subsystem table that main runs for argv, or null: for
// tools that show events, which build this module with main renamed.
const subsystem_entry *main_entry(int argc, char **argv);

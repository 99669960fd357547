#pragma once

#include "util.hpp"

// The agent's entry: main looks its one argument up in the subsystem table
// and exits with the handler's result.
int main(int argc, char **argv);

// The subsystem handler that main runs for argv, or null when it runs none.
handler_fn main_handler(int argc, char **argv);

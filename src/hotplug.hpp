#pragma once

// The agent's entry: main looks its one argument up in the subsystem table
// and exits with the handler's result. Nothing else is exported.
int main(int argc, char **argv);

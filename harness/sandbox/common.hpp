// SPDX-License-Identifier: MIT
// Small jobs on this machine's side that the sandbox, the tests, the tools
// and the benchmark share, each written once.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

// A whole file, or "" when it cannot be read.
std::string read_file(const std::string &path);

// All that can be read from fd, up to its end.
std::string read_fd(int fd);

// path made, or emptied, with text and mode; false when it cannot be.
bool write_file(const std::string &path, const std::string &text = "", mode_t mode = 0644);

// The directories above path made where missing, mode 0755.
void make_parents(const std::string &path);

// The names in a directory but . and .., sorted; none when it cannot be read.
std::vector<std::string> list_dir(const std::string &path);

// A raw wait status as an exit status: -1 when the process did not exit.
int exit_status(int wait_status);

// Words split at white space (a runner given as one string), and joined
// with one space between them.
std::vector<std::string> split_words(const std::string &text);
std::string join_words(const std::vector<std::string> &words);

// Words in a fixed order, so that two environments compare in any order:
// the agent does not keep the order, and qemu-user reverses it.
std::vector<std::string> sorted(std::vector<std::string> words);

} // namespace sandbox

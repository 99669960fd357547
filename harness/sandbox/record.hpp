// SPDX-License-Identifier: MIT
// The recorder's log format, shared by the recorder and the sandbox that reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sandbox {

// The sandbox's stand-in for the kernel log: a file, so that what the
// started programs write to their descriptor 2 can be read back.
constexpr char kmsg_path[] = "/dev/kmsg";

struct Record {
    int pid = 0;
    int ppid = 0;
    int64_t t_ns = 0;
    std::string fd[3];               // "null", "kmsg", "other" or "closed"
    std::vector<std::string> argv;
    std::vector<std::string> env;
};

int64_t now_ns();

// Backslash, tab, line feed and other control bytes become \\, \t, \n, \xHH.
std::string escape(const std::string &text);
std::string unescape(const std::string &text);

// One log line into a record; false for a line that is not one.
bool parse_record(const std::string &line, Record &out);

} // namespace sandbox

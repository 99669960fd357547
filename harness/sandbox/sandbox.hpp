// SPDX-License-Identifier: MIT
// Runs programs at the agent's fixed paths without touching the machine's own:
// each run enters a private mount namespace whose root is a scratch tree with
// a fresh /mnt, /dev and /etc/quorvane, the host's /usr read-only, and
// recorders at /bin/mount, /bin/umount, /sbin/modprobe and the gadget scripts.
// The tree outlives a run, so events that follow each other see each other's
// traces; it is removed when the Sandbox is destroyed.
#pragma once

#include "common.hpp"
#include "record.hpp"
#include "util.hpp"

#include <string>
#include <utility>
#include <vector>

namespace sandbox {

enum class Mnt { present, missing, readonly };

struct Options {
    std::string agent;               // host path, bound at /sbin/hotplug
    std::string recorder;            // host path of the recorder program
    std::vector<std::string> runner; // emulator prefix for target programs
    Mnt mnt = Mnt::present;
    bool scripts = true;             // recorders at the two gadget scripts
    bool kmsg = true;                // a file standing in for /dev/kmsg, the kernel log
    std::string sys;                 // host directory bound read-only at /sys; empty: a scratch one
    std::vector<std::string> recorded = {mount_program, umount_program, modprobe_program};
    std::vector<std::pair<std::string, std::string>> programs; // {inside, host}
};

struct Command {
    std::vector<std::string> argv;   // argv[0]: a path inside the sandbox
    std::vector<std::string> env;
    bool target = true;              // started through the runner, if any
    bool closed_fds = true;          // 0 to 2 closed, as the kernel starts a helper
    bool fork_fails = false;         // every fork of the command fails with EAGAIN
    bool no_medium = false;          // every open with just O_RDONLY | O_CLOEXEC fails with
                                     // ENOMEDIUM, as a card reader's disk without its card
};

struct Later {
    std::string path;                // file created inside the sandbox
    int delay_ms = 0;
};

struct Setup {
    std::vector<std::string> mounted; // directories with a file system mounted on them
    std::vector<std::string> busy;   // the same, with a file on it open until the run ends
    std::vector<Later> later;
    int timeout_s = 120;
};

struct Exit {
    int pid = 0;
    int status = -1;                 // raw wait status
    int64_t end_ns = 0;
};

struct Result {
    bool ok = false;
    std::string error;
    int64_t start_ns = 0;
    std::vector<Exit> commands;      // in the order of the commands
    std::vector<Exit> others;        // every other descendant, reaped by the run
    std::vector<std::string> output; // what each command wrote to 1 and 2
    std::vector<std::pair<std::string, int64_t>> created; // later files, when made
    std::vector<std::string> mounted; // of the setup's mounts, those still there at the end

    // Exit status of command i, or -1 when it did not exit normally.
    int status(size_t i = 0) const;
    // Seconds from the start of the run to the end of command i.
    double seconds(size_t i = 0) const;
};

// The texts as an argument or environment vector: their pointers, then null.
std::vector<char *> pointers(const std::vector<std::string> &texts);

// Whether this process may make mount namespaces; why not, if it may not.
bool available(std::string *why);

// The agent's usual call: /sbin/hotplug with the given arguments and the
// event's variables added to a kernel-like HOME and PATH.
Command agent_event(const std::vector<std::string> &args, const std::vector<std::string> &vars);

// The command run natively under valgrind with the tool's options (its
// report's file, with %p for the pid, is a path inside the sandbox); the
// programs it starts run untraced.
Command under_valgrind(Command command, const std::vector<std::string> &tool);

class Sandbox {
public:
    explicit Sandbox(Options options);
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // False, with the reason, when the tree could not be made or this
    // process may not make mount namespaces.
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }

    // Where a path inside the sandbox is on this machine.
    std::string host(const std::string &inside) const { return root_ + inside; }

    Result run(const std::vector<Command> &commands, const Setup &setup = {});
    Result run(const Command &command, const Setup &setup = {});

    std::vector<Record> records() const;
    void clear_records();

private:
    bool build();
    std::vector<std::pair<std::string, std::string>> binds() const;
    std::string mount_tree() const;
    std::string mount_sticks(const Setup &setup, std::vector<int> &held) const;
    std::vector<int> enter(const Setup &setup) const;
    void start_command(const Command &c, size_t i, int run, int fd) const;
    [[noreturn]] void supervise(const std::vector<Command> &commands, const Setup &setup, int run, int fd) const;

    Options options_;
    std::string top_;
    std::string root_;
    std::string error_;
    int runs_ = 0;
};

} // namespace sandbox

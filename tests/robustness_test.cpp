// SPDX-License-Identifier: MIT
// The agent under load and under failing system calls, inside the sandbox.
#include "sandbox_env.hpp"

#include <set>
#include <sys/stat.h>

namespace {

using Strings = std::vector<std::string>;
using sandbox::Sandbox;

class Robustness : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_SANDBOX(); }
};

std::string device(int i)
{
    char name[16];
    snprintf(name, sizeof name, "st%03d", i);
    return name;
}

sandbox::Command block_event(const std::string &action, const std::string &name)
{
    return sandbox::agent_event({"block"}, {"ACTION=" + action, "DEVPATH=/block/" + name + "/" + name + "p1",
                                            "MINOR=1"});
}

std::set<std::string> mnt_entries(const Sandbox &box)
{
    std::vector<std::string> names = sandbox::list_dir(box.host("/mnt"));
    return {names.begin(), names.end()};
}

TEST_F(Robustness, StormOf200AddsThen200Removes)
{
    const int n = 200;
    Sandbox box(agent_options());
    std::vector<sandbox::Command> adds, removes;
    std::set<std::string> expected_dirs, expected_mounts, expected_umounts;
    for (int i = 0; i < n; i++) {
        std::string name = device(i) + "p1";
        put(box, "/dev/" + name);
        adds.push_back(block_event("add", device(i)));
        removes.push_back(block_event("remove", device(i)));
        expected_dirs.insert(name);
        expected_mounts.insert("/bin/mount -t vfat -o flush,utf8 /dev/" + name + " /mnt/" + name);
        expected_umounts.insert("/bin/umount -f /mnt/" + name);
    }

    auto r = box.run(adds);
    ASSERT_TRUE(r.ok) << r.error;
    for (int i = 0; i < n; i++)
        EXPECT_EQ(r.status(i), 1) << device(i);
    EXPECT_EQ(mnt_entries(box), expected_dirs);
    for (const std::string &d : expected_dirs) {
        struct stat st;
        ASSERT_EQ(stat(box.host("/mnt/" + d).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0755) << d;
    }
    Strings mounts = started(box);
    EXPECT_EQ(mounts.size(), size_t(n));
    EXPECT_EQ(std::set<std::string>(mounts.begin(), mounts.end()), expected_mounts);

    box.clear_records();
    r = box.run(removes);
    ASSERT_TRUE(r.ok) << r.error;
    for (int i = 0; i < n; i++)
        EXPECT_EQ(r.status(i), 0) << device(i);
    EXPECT_TRUE(mnt_entries(box).empty());
    Strings umounts = started(box);
    EXPECT_EQ(umounts.size(), size_t(n));
    EXPECT_EQ(std::set<std::string>(umounts.begin(), umounts.end()), expected_umounts);
}

TEST_F(Robustness, TwoAddsOfOneDeviceAtOnce)
{
    for (int round = 0; round < 20; round++) {
        Sandbox box(agent_options());
        put(box, "/dev/st000p1");
        auto r = box.run({block_event("add", device(0)), block_event("add", device(0))});
        ASSERT_TRUE(r.ok) << r.error;
        int mounts_expected = 0;
        for (int i = 0; i < 2; i++) {
            // Whoever loses the race to make the directory finds it made, or
            // fails to make it (255) and starts nothing.
            EXPECT_TRUE(r.status(i) == 1 || r.status(i) == 255) << r.status(i);
            mounts_expected += r.status(i) == 1;
        }
        EXPECT_GE(mounts_expected, 1);
        EXPECT_EQ(mnt_entries(box), std::set<std::string>{"st000p1"});
        EXPECT_EQ(box.records().size(), size_t(mounts_expected));
    }
}

TEST_F(Robustness, ForkFailureChangesNoResult)
{
    struct {
        const char *what;
        Strings args;
        Strings vars;
        bool made;     // /mnt/sda1 there before
        int status;
        bool left;     // /mnt/sda1 there after
    } cases[] = {
        {"block add", {"block"}, {"ACTION=add", "DEVPATH=/block/sda/sda1", "MINOR=1"}, false, 1, true},
        {"block remove", {"block"}, {"ACTION=remove", "DEVPATH=/block/sda/sda1", "MINOR=1"}, true, 0, false},
        {"gadget add", {"gadget"}, {"ACTION=add"}, false, 1, false},
        {"gadget remove", {"gadget"}, {"ACTION=remove"}, false, 0, false},
    };
    for (const auto &c : cases) {
        Sandbox box(agent_options());
        put(box, "/dev/sda1");
        if (c.made)
            mkdir(box.host("/mnt/sda1").c_str(), 0755);
        auto cmd = sandbox::agent_event(c.args, c.vars);
        cmd.fork_fails = true;
        // The leak checker of a sanitizer build needs a process of its own.
        cmd.env.push_back("ASAN_OPTIONS=detect_leaks=0");
        cmd.closed_fds = false;
        auto r = box.run(cmd);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), c.status) << c.what;
        EXPECT_TRUE(r.others.empty()) << c.what << ": a process was started";
        EXPECT_TRUE(box.records().empty()) << c.what;
        EXPECT_EQ(r.output[0], "") << c.what;
        struct stat st;
        EXPECT_EQ(stat(box.host("/mnt/sda1").c_str(), &st) == 0, c.left) << c.what;
    }
}

TEST_F(Robustness, ExecFailureChangesNoResult)
{
    struct {
        const char *what;
        Strings args;
        Strings vars;
        const char *program;   // made unusable
        const char *content;   // nullptr: missing
        int mode;
        int status;
    } cases[] = {
        {"mount missing", {"block"}, {"ACTION=add", "DEVPATH=/block/sda/sda1", "MINOR=1"}, "/bin/mount", nullptr, 0, 1},
        {"mount not executable", {"block"}, {"ACTION=add", "DEVPATH=/block/sda/sda1", "MINOR=1"}, "/bin/mount", "x", 0644, 1},
        {"umount not a program", {"block"}, {"ACTION=remove", "DEVPATH=/block/sda/sda1", "MINOR=1"}, "/bin/umount", "\x7f" "ELF junk", 0755, 0},
        {"gadget.sh missing", {"gadget"}, {"ACTION=add"}, "/etc/quorvane/gadget.sh", nullptr, 0, 1},
        {"ugadget.sh not executable", {"gadget"}, {"ACTION=remove"}, "/etc/quorvane/ugadget.sh", "#!/bin/sh\n", 0644, 0},
        {"gadget.sh with a missing interpreter", {"gadget"}, {"ACTION=add"}, "/etc/quorvane/gadget.sh", "#!/nowhere/sh\n", 0755, 1},
    };
    for (const auto &c : cases) {
        auto options = agent_options();
        options.scripts = false;
        options.recorded.clear();
        Sandbox box(options);
        mkdir(box.host("/etc/quorvane").c_str(), 0755);
        mkdir(box.host("/mnt/sda1").c_str(), 0755);
        put(box, "/dev/sda1");
        if (c.content)
            put(box, c.program, c.content, c.mode);
        auto cmd = sandbox::agent_event(c.args, c.vars);
        cmd.closed_fds = false;
        auto r = box.run(cmd);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), c.status) << c.what;
        EXPECT_EQ(r.output[0], "") << c.what;
        ASSERT_EQ(r.others.size(), 1u) << c.what;
        EXPECT_EQ(sandbox::exit_status(r.others[0].status), 0) << c.what << ": the child of a failed exec";
    }
}

} // namespace

// SPDX-License-Identifier: MIT
// The agent binary at its real paths, inside the sandbox.
#include "sandbox_env.hpp"

#include <algorithm>
#include <sstream>
#include <sys/stat.h>

namespace {

using Strings = std::vector<std::string>;
using sandbox::Sandbox;

// Mode bits of a path in the sandbox, -1 when nothing is there.
int mode_of(const Sandbox &box, const std::string &path)
{
    struct stat st;
    return stat(box.host(path).c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

bool is_dir(const Sandbox &box, const std::string &path)
{
    struct stat st;
    return stat(box.host(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Anything at path, a dangling symlink too.
bool exists(const Sandbox &box, const std::string &path)
{
    struct stat st;
    return lstat(box.host(path).c_str(), &st) == 0;
}

class Agent : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_SANDBOX(); }
};

const Strings sda1 = {"DEVPATH=/block/sda/sda1", "MINOR=1"};
// A Raspberry Pi 4's stick: 138 bytes, more than the agent's path buffer.
const std::string pi4_sda = "/devices/platform/scb/fd500000.pcie/pci0000:00/0000:00:00.0/0000:01:00.0/usb1/1-1/"
                            "1-1.4/1-1.4:1.0/host0/target0:0:0/0:0:0:0/block/sda";
const Strings pi4_sda1 = {"DEVPATH=" + pi4_sda + "/sda1", "MINOR=1", "DEVTYPE=partition"};

Strings with(Strings vars, const Strings &more)
{
    vars.insert(vars.end(), more.begin(), more.end());
    return vars;
}

TEST(Sandbox, RunsTheAgentUnderTest)
{
    REQUIRE_SANDBOX();
    auto o = agent_options();
    std::string runner;
    for (const std::string &w : o.runner)
        runner += " " + w;
    printf("agent %s, runner%s\n", o.agent.c_str(), runner.empty() ? " none" : runner.c_str());
    Sandbox box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    auto r = box.run(sandbox::agent_event({"usb"}, {"ACTION=add"}));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status(), 1);
}

TEST_F(Agent, DispatchesByArgumentAndAction)
{
    struct {
        Strings args;
        Strings vars;
        int status;
        Strings started;
    } cases[] = {
        {{}, {"ACTION=add"}, 1, {}},
        {{"block", "gadget"}, {"ACTION=add"}, 1, {}},
        {{"usb"}, {"ACTION=add"}, 1, {}},
        {{"Block"}, with(sda1, {"ACTION=add"}), 1, {}},
        {{"blockx"}, with(sda1, {"ACTION=add"}), 1, {}},
        {{"block"}, sda1, 1, {}},
        {{"block"}, with(sda1, {"ACTION=ADD"}), 1, {}},
        {{"block"}, with(sda1, {"ACTION=added"}), 1, {}},
        {{"gadget"}, {"ACTION=change"}, 1, {}},
        {{"gadget"}, {}, 1, {}},
        {{""}, with(sda1, {"ACTION=remove"}), 255, {"/bin/umount -f /mnt/sda1"}},
        {{"b"}, with(sda1, {"ACTION=re"}), 255, {"/bin/umount -f /mnt/sda1"}},
        {{"gadget"}, {"ACTION="}, 1, {"/etc/quorvane/gadget.sh"}},
        {{"gad"}, {"ACTION=rem"}, 0, {"/etc/quorvane/ugadget.sh"}},
        {{"g"}, {"ACTION=a"}, 1, {"/etc/quorvane/gadget.sh"}},
    };
    for (const auto &c : cases) {
        Sandbox box(agent_options());
        ASSERT_TRUE(box.ok()) << box.error();
        sandbox::Command cmd = sandbox::agent_event(c.args, c.vars);
        cmd.closed_fds = false;
        auto r = box.run(cmd);
        std::string what = "hotplug " + sandbox::join_words(c.args) + " " + sandbox::join_words(c.vars);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), c.status) << what;
        EXPECT_EQ(started(box), c.started) << what;
        EXPECT_EQ(r.output[0], "") << what;
    }
}

TEST_F(Agent, LaunchersStartExactVectorsWithTheEnvironmentUnchanged)
{
    struct {
        Strings probe;
        Strings argv;
    } cases[] = {
        {{"mount", "/dev/sda1", "/mnt/sda1"}, {"/bin/mount", "-t", "vfat", "-o", "flush,utf8", "/dev/sda1", "/mnt/sda1"}},
        {{"umount", "/mnt/sda1"}, {"/bin/umount", "-f", "/mnt/sda1"}},
        {{"modprobe", "g_ether"}, {"/sbin/modprobe", "g_ether"}},
        {{"mount", "/dev/a b", ""}, {"/bin/mount", "-t", "vfat", "-o", "flush,utf8", "/dev/a b", ""}},
    };
    // The kernel starts us with 0 to 2 closed: 0 and 1 go to /dev/null and 2
    // to the kernel log, or /dev/null without one. Open ones (here 0 on
    // /dev/null, 1 and 2 on a file) are inherited.
    struct {
        bool closed;
        bool kmsg;
        Strings fds;
    } scenes[] = {
        {true, true, {"null", "null", "kmsg"}},
        {true, false, {"null", "null", "null"}},
        {false, true, {"null", "other", "other"}},
    };
    for (const auto &scene : scenes)
        for (const auto &c : cases) {
            auto options = agent_options();
            options.kmsg = scene.kmsg;
            Sandbox box(options);
            sandbox::Command cmd;
            cmd.argv = {"/sbin/launch-probe"};
            cmd.argv.insert(cmd.argv.end(), c.probe.begin(), c.probe.end());
            cmd.env = {"ACTION=add", "DEVPATH=/block/sda/sda1", "ODD=tab\there\nnew line", "EMPTY=",
                       "PATH=/nowhere"};
            cmd.closed_fds = scene.closed;
            auto r = box.run(cmd);
            ASSERT_TRUE(r.ok) << r.error;
            EXPECT_EQ(r.status(), 0);
            auto records = box.records();
            ASSERT_EQ(records.size(), 1u) << sandbox::join_words(c.probe);
            EXPECT_EQ(records[0].argv, c.argv);
            EXPECT_EQ(sandbox::sorted(records[0].env), sandbox::sorted(cmd.env));
            EXPECT_EQ(Strings(records[0].fd, records[0].fd + 3), scene.fds);
        }
}

TEST_F(Agent, LauncherReturnsBeforeTheProgramEnds)
{
    Sandbox box(agent_options());
    put(box, "/.sandbox/hold", "1500");
    sandbox::Command cmd;
    cmd.argv = {"/sbin/launch-probe", "umount", "/mnt/sda1"};
    auto r = box.run(cmd);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status(), 0);
    ASSERT_EQ(r.others.size(), 1u);
    EXPECT_LT(r.commands[0].end_ns + 1000000000LL, r.others[0].end_ns)
        << "the launcher waited for the program it started";
}

TEST_F(Agent, ChildOfAFailedExecExitsZero)
{
    struct {
        const char *what;
        Strings probe;
    } cases[] = {
        {"missing", {"modprobe", "x"}},
        {"not executable", {"mount", "/dev/sda1", "/mnt/sda1"}},
        {"not a program", {"umount", "/mnt/sda1"}},
    };
    for (const auto &c : cases) {
        auto options = agent_options();
        options.recorded.clear();
        Sandbox box(options);
        put(box, "/bin/mount", "", 0644);
        put(box, "/bin/umount", "just text\n", 0755);
        sandbox::Command cmd;
        cmd.argv = {"/sbin/launch-probe"};
        cmd.argv.insert(cmd.argv.end(), c.probe.begin(), c.probe.end());
        cmd.closed_fds = false;
        auto r = box.run(cmd);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), 0) << c.what;
        EXPECT_EQ(r.output[0], "") << c.what;
        ASSERT_EQ(r.others.size(), 1u) << c.what;
        EXPECT_EQ(sandbox::exit_status(r.others[0].status), 0) << c.what;
        EXPECT_TRUE(box.records().empty()) << c.what;
    }
}

// One add event in a fresh sandbox, prepared by a case's setup.
struct BlockCase {
    const char *what;
    Strings vars;
    sandbox::Mnt mnt;
    int status;
    Strings started;
    Strings dirs;    // directories that must exist afterwards, mode 0755
    Strings absent;  // paths that must not exist afterwards
};

TEST_F(Agent, BlockAdd)
{
    std::string long_devpath = "/block/" + std::string(121, 'x');
    std::string long_name = "/block/sda/" + std::string(59, 'n');
    BlockCase cases[] = {
        {"plain add", {"DEVPATH=/block/sda/sda1", "MINOR=1"}, sandbox::Mnt::present, 1,
         {"/bin/mount -t vfat -o flush,utf8 /dev/sda1 /mnt/sda1"}, {"/mnt/sda1"}, {}},
        {"whole disk", {"DEVPATH=/block/sda", "MINOR=0"}, sandbox::Mnt::present, 1, {}, {}, {"/mnt/sda"}},
        {"minor 16", {"DEVPATH=/block/sdb", "MINOR=16"}, sandbox::Mnt::present, 1,
         {"/bin/mount -t vfat -o flush,utf8 /dev/sdb /mnt/sdb"}, {"/mnt/sdb"}, {}},
        {"second whole disk", {"DEVPATH=/block/sdb", "MINOR=16", "DEVTYPE=disk"}, sandbox::Mnt::present, 1, {}, {},
         {"/mnt/sdb"}},
        {"partition", {"DEVPATH=/block/sdb/sdb1", "MINOR=17", "DEVTYPE=partition"}, sandbox::Mnt::present, 1,
         {"/bin/mount -t vfat -o flush,utf8 /dev/sdb1 /mnt/sdb1"}, {"/mnt/sdb1"}, {}},
        {"huge minor", {"DEVPATH=/block/sda/sda1", "MINOR=99999999999"}, sandbox::Mnt::present, 1,
         {"/bin/mount -t vfat -o flush,utf8 /dev/sda1 /mnt/sda1"}, {"/mnt/sda1"}, {}},
        {"trailing slash", {"DEVPATH=/block/sda/sda1/", "MINOR=1"}, sandbox::Mnt::present, 1,
         {"/bin/mount -t vfat -o flush,utf8 /dev/sda1 /mnt/sda1"}, {"/mnt/sda1"}, {}},
        {"kernel devpath", {"DEVPATH=/devices/pci0000:00/0000:00:01.0/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0/block/sda/sda1", "MINOR=1"},
         sandbox::Mnt::present, 1, {"/bin/mount -t vfat -o flush,utf8 /dev/sda1 /mnt/sda1"}, {"/mnt/sda1"}, {}},
        {"minor abc", {"DEVPATH=/block/sda/sda1", "MINOR=abc"}, sandbox::Mnt::present, 1, {}, {}, {"/mnt/sda1"}},
        {"no minor", {"DEVPATH=/block/sda/sda1"}, sandbox::Mnt::present, 1, {}, {}, {"/mnt/sda1"}},
        {"no devpath", {"MINOR=1"}, sandbox::Mnt::present, 1, {}, {}, {}},
        {"slashes only", {"DEVPATH=///", "MINOR=1"}, sandbox::Mnt::present, 1, {}, {}, {}},
        {"devpath of 128, name of 121", {"DEVPATH=" + long_devpath, "MINOR=1"}, sandbox::Mnt::present, 1, {}, {},
         {"/mnt/" + std::string(121, 'x')}},
        {"Raspberry Pi 4 devpath", pi4_sda1, sandbox::Mnt::present, 1, {"/bin/mount -t vfat -o flush,utf8 /dev/sda1 /mnt/sda1"},
         {"/mnt/sda1"}, {}},
        {"devpath of 6 KiB", {"DEVPATH=" + std::string(6000, '/') + "sdb/sdb1////", "MINOR=17"},
         sandbox::Mnt::present, 1, {"/bin/mount -t vfat -o flush,utf8 /dev/sdb1 /mnt/sdb1"}, {"/mnt/sdb1"}, {}},
        {"long devpath, whole disk", {"DEVPATH=" + pi4_sda, "MINOR=16", "DEVTYPE=disk"}, sandbox::Mnt::present, 1, {},
         {}, {"/mnt/sda"}},
        {"long devpath, name of 59", {"DEVPATH=" + pi4_sda + "/" + std::string(59, 'n'), "MINOR=1"},
         sandbox::Mnt::present, 1, {}, {}, {}},
        {"long devpath, slashes after a CR far back", {"DEVPATH=/block/sda\r" + std::string(150, '/') + "etc", "MINOR=1"},
         sandbox::Mnt::present, 1, {}, {}, {"/mnt/etc"}},
        {"name of 59", {"DEVPATH=" + long_name, "MINOR=1"}, sandbox::Mnt::present, 1, {}, {}, {}},
        {"name dot dot", {"DEVPATH=/block/..", "MINOR=1"}, sandbox::Mnt::present, 1, {}, {}, {}},
        {"slash after CR", {"DEVPATH=/block/sda\r/../../etc", "MINOR=1"}, sandbox::Mnt::present, 1, {}, {},
         {"/mnt/sda\r"}},
        {"/mnt missing", {"DEVPATH=/block/sda/sda1", "MINOR=1"}, sandbox::Mnt::missing, 255, {}, {}, {"/mnt"}},
        {"/mnt read-only", {"DEVPATH=/block/sda/sda1", "MINOR=1"}, sandbox::Mnt::readonly, 255, {}, {},
         {"/mnt/sda1"}},
    };
    for (const auto &c : cases) {
        Sandbox box(agent_options(c.mnt));
        ASSERT_TRUE(box.ok()) << box.error();
        for (const char *node : {"/dev/sda", "/dev/sda1", "/dev/sdb", "/dev/sdb1"})
            put(box, node);
        auto r = box.run(sandbox::agent_event({"block"}, with(c.vars, {"ACTION=add"})));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), c.status) << c.what;
        EXPECT_EQ(started(box), c.started) << c.what;
        for (const std::string &d : c.dirs) {
            EXPECT_TRUE(is_dir(box, d)) << c.what << ": " << d;
            EXPECT_EQ(mode_of(box, d), 0755) << c.what << ": " << d;
        }
        for (const std::string &a : c.absent)
            EXPECT_EQ(mode_of(box, a), -1) << c.what << ": " << a;
        // Ignored events leave /mnt as it was.
        if (c.started.empty() && c.mnt == sandbox::Mnt::present) {
            EXPECT_EQ(sandbox::list_dir(box.host("/mnt")), Strings{}) << c.what << ": /mnt changed";
        }
        EXPECT_LT(r.seconds(), 0.9) << c.what << ": waited with the node present";
    }
}

TEST_F(Agent, BlockAddUsesWhatIsAlreadyAtTheMountPoint)
{
    Sandbox box(agent_options());
    put(box, "/dev/sda1");
    put(box, "/dev/sda2");
    mkdir(box.host("/mnt/sda1").c_str(), 0700);
    put(box, "/mnt/sda2", "a file", 0600);
    for (const char *name : {"sda1", "sda2"}) {
        box.clear_records();
        auto r = box.run(sandbox::agent_event(
            {"block"}, {"ACTION=add", std::string("DEVPATH=/block/sda/") + name, "MINOR=1"}));
        EXPECT_EQ(r.status(), 1);
        EXPECT_EQ(started(box), Strings{std::string("/bin/mount -t vfat -o flush,utf8 /dev/") + name + " /mnt/" + name});
    }
    EXPECT_EQ(mode_of(box, "/mnt/sda1"), 0700);
    EXPECT_EQ(sandbox::read_file(box.host("/mnt/sda2")), "a file");
}

// The existence tests and sleeps of a block add, seen by a preloaded
// library; empty where the agent cannot take one (static, emulated).
struct Calls {
    int node_tests = 0;
    int other_tests = 0;
    Strings sleeps;
};

bool can_count_calls(const sandbox::Options &o)
{
    std::string cmd = "file -L " + o.agent + " | grep -q 'dynamically linked'";
    return o.runner.empty() && system(cmd.c_str()) == 0;
}

Calls calls(const Sandbox &box)
{
    Calls c;
    std::istringstream in(sandbox::read_file(box.host("/.sandbox/calls")));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("access /dev/sda1 ", 0) == 0)
            c.node_tests++;
        else if (line.rfind("access ", 0) == 0)
            c.other_tests++;
        else if (line.rfind("usleep ", 0) == 0)
            c.sleeps.push_back(line.substr(7));
    }
    return c;
}

sandbox::Command counted(sandbox::Command c, const sandbox::Options &o)
{
    if (can_count_calls(o))
        c.env.push_back("LD_PRELOAD=/.sandbox/call_counter.so");
    return c;
}

sandbox::Options counting_options()
{
    auto o = agent_options();
    o.programs.push_back({"/.sandbox/call_counter.so", HOTPLUG_CALL_COUNTER});
    return o;
}

// A counted add of sda1 in box, which must exit 1 having started one program.
void counted_add(Sandbox &box, const sandbox::Options &options, const sandbox::Setup &setup, sandbox::Result &r,
                 std::vector<sandbox::Record> &records)
{
    r = box.run(counted(sandbox::agent_event({"block"}, with(sda1, {"ACTION=add"})), options), setup);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status(), 1);
    records = box.records();
    ASSERT_EQ(records.size(), 1u);
}

TEST_F(Agent, BlockAddWaitsAboutASecondForANodeThatNeverAppears)
{
    auto options = counting_options();
    Sandbox box(options);
    sandbox::Result r;
    std::vector<sandbox::Record> records;
    ASSERT_NO_FATAL_FAILURE(counted_add(box, options, {}, r, records));
    EXPECT_EQ(sandbox::join_words(records[0].argv), "/bin/mount -t vfat -o flush,utf8 /dev/sda1 /mnt/sda1");
    // 100 sleeps of at least 10 ms come before the mount.
    EXPECT_GE(records[0].t_ns - r.start_ns, 1000000000LL);
    EXPECT_LT(r.seconds(), 5.0);
    printf("node never appeared: mount started after %.3f s\n", double(records[0].t_ns - r.start_ns) / 1e9);
    if (can_count_calls(options)) {
        Calls c = calls(box);
        EXPECT_EQ(c.node_tests, 100);
        EXPECT_EQ(c.other_tests, 1) << "the mount point's test";
        EXPECT_EQ(c.sleeps, Strings(100, "10000"));
    }
}

TEST_F(Agent, BlockAddMountsSoonAfterTheNodeAppears)
{
    auto options = counting_options();
    Sandbox box(options);
    sandbox::Setup setup;
    setup.later = {{"/dev/sda1", 300}};
    sandbox::Result r;
    std::vector<sandbox::Record> records;
    ASSERT_NO_FATAL_FAILURE(counted_add(box, options, setup, r, records));
    ASSERT_EQ(r.created.size(), 1u);
    int64_t delay = records[0].t_ns - r.created[0].second;
    EXPECT_GT(delay, 0) << "mount started before the node appeared";
    // One 10 ms sleep plus start-up of the mount program; generous for a busy machine.
    EXPECT_LT(delay, 250000000LL);
    EXPECT_LT(r.seconds(), 0.9);
    printf("node appeared at 300 ms: mount started %.1f ms later\n", double(delay) / 1e6);
    if (can_count_calls(options)) {
        // Each failed test is followed by one sleep; the last test succeeds.
        Calls c = calls(box);
        EXPECT_GT(c.node_tests, 1);
        EXPECT_LT(c.node_tests, 100);
        EXPECT_EQ(c.sleeps, Strings(c.node_tests - 1, "10000"));
    }
}

TEST_F(Agent, BlockRemove)
{
    const Strings umount = {"/bin/umount -f /mnt/sda1"};
    struct {
        const char *what;
        Strings vars;
        const char *at;  // /mnt/sda1 before: "", "dir", "file", or "link" to /tmp/stick
        Strings mounted; // mount points whose file system a forced unmount takes
        Strings busy;    // mount points with a file open on them throughout
        bool node;       // /dev/sda1 there at the remove: the stick is back
        int status;
        Strings started;
        bool left;       // /mnt/sda1 there after
        Strings still;   // mount points still there after
    } cases[] = {
        {"not mounted", sda1, "dir", {}, {}, false, 0, umount, false, {}},
        {"mounted", sda1, "dir", {"/mnt/sda1"}, {}, false, 0, umount, false, {}},
        {"busy: detached", sda1, "dir", {}, {"/mnt/sda1"}, false, 0, umount, false, {}},
        {"busy, stick back", sda1, "dir", {}, {"/mnt/sda1"}, true, 255, umount, true, {"/mnt/sda1"}},
        {"absent", sda1, "", {}, {}, false, 255, umount, false, {}},
        {"not a directory", sda1, "file", {}, {}, false, 255, umount, true, {}},
        {"symlink to a busy mount", sda1, "link", {}, {"/tmp/stick"}, false, 255, umount, true, {"/tmp/stick"}},
        {"whole disk", {"DEVPATH=/block/sda", "MINOR=0"}, "dir", {}, {}, false, 1, {}, true, {}},
        {"whole disk by type", {"DEVPATH=/block/sda1", "MINOR=16", "DEVTYPE=disk"}, "dir", {}, {}, false, 1, {}, true, {}},
        {"no minor", {"DEVPATH=/block/sda/sda1"}, "dir", {}, {}, false, 1, {}, true, {}},
        {"dot", {"DEVPATH=/block/.", "MINOR=1"}, "dir", {}, {}, false, 1, {}, true, {}},
        {"dot dot", {"DEVPATH=/block/sda/..", "MINOR=1"}, "dir", {}, {}, false, 1, {}, true, {}},
        {"long devpath", pi4_sda1, "dir", {"/mnt/sda1"}, {}, false, 0, umount, false, {}},
        {"long devpath, whole disk", {"DEVPATH=" + pi4_sda, "MINOR=16", "DEVTYPE=disk"}, "dir", {}, {}, false, 1, {},
         true, {}},
    };
    for (const auto &c : cases) {
        Sandbox box(agent_options());
        std::string at = c.at, mnt = box.host("/mnt/sda1");
        if (at == "dir")
            mkdir(mnt.c_str(), 0755);
        else if (at == "file")
            put(box, "/mnt/sda1");
        else if (at == "link")
            symlink("/tmp/stick", mnt.c_str());
        if (c.node)
            put(box, "/dev/sda1");
        sandbox::Setup setup;
        setup.mounted = c.mounted;
        setup.busy = c.busy;
        auto r = box.run(sandbox::agent_event({"block"}, with(c.vars, {"ACTION=remove"})), setup);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), c.status) << c.what;
        EXPECT_EQ(started(box), c.started) << c.what;
        EXPECT_EQ(exists(box, "/mnt/sda1"), c.left) << c.what;
        EXPECT_EQ(r.mounted, c.still) << c.what;
        EXPECT_TRUE(is_dir(box, "/mnt")) << c.what;
        if (!c.started.empty()) {
            EXPECT_GE(r.seconds(), 1.0) << c.what << ": removed without the pause";
        }
    }
}

// A media change opens the disk and lets go of nothing while that works:
// a reader plugged with a card in reports a change, and its mounts stay.
// Only a real removable disk without its card fails the open with
// ENOMEDIUM; the boards' card reader tests that path.
TEST_F(Agent, BlockChangeKeepsMountsWhenTheMediumIsThere)
{
    const Strings disk = {"DEVPATH=/block/sda", "MINOR=0", "DEVTYPE=disk"};
    const Strings all = {"/mnt/sda1", "/mnt/sda2", "/mnt/sdb1"};
    struct {
        const char *what;
        Strings vars;
        bool node;
    } cases[] = {
        {"card in", with(disk, {"DISK_MEDIA_CHANGE=1"}), true},
        {"node missing", with(disk, {"DISK_MEDIA_CHANGE=1"}), false},
        {"no media change", disk, true},
        {"a partition's change", with(sda1, {"DEVTYPE=partition", "DISK_MEDIA_CHANGE=1"}), true},
    };
    for (const auto &c : cases) {
        Sandbox box(agent_options());
        for (const std::string &m : all)
            mkdir(box.host(m).c_str(), 0755);
        if (c.node)
            put(box, "/dev/sda");
        sandbox::Setup setup;
        setup.mounted = {"/mnt/sda1", "/mnt/sdb1"};
        setup.busy = {"/mnt/sda2"};
        auto r = box.run(sandbox::agent_event({"block"}, with(c.vars, {"ACTION=change"})), setup);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), 1) << c.what;
        EXPECT_EQ(started(box), Strings{}) << c.what;
        EXPECT_EQ(sandbox::sorted(r.mounted), all) << c.what;
        for (const std::string &m : all)
            EXPECT_TRUE(is_dir(box, m)) << c.what << ": " << m;
    }
}

// A stick or card without a partition table is its whole disk, mounted on
// /mnt/NAME when sysfs shows a medium, no partitions and a USB or MMC host.
TEST_F(Agent, WholeDiskWithoutPartitions)
{
    const std::string usb = "/devices/pci0000:00/0000:00:01.0/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0/block/sda";
    const std::string loop = "/devices/virtual/block/loop0";
    const Strings mount = {"/bin/mount -t vfat -o flush,utf8 /dev/sda /mnt/sda"};
    const Strings umount = {"/bin/umount -f /mnt/sda"};
    struct {
        const char *what;
        std::string action;
        std::string devpath;
        const char *size;  // the disk's size in sysfs
        bool partition;    // sysfs shows sda1
        bool mnt;          // /mnt/sda there before
        int status;
        Strings started;
        bool left;         // /mnt/sda there after
    } cases[] = {
        {"add", "add", usb, "31116288", false, false, 1, mount, true},
        {"add, /mnt/sda there", "add", usb, "31116288", false, true, 1, mount, true},
        {"add, partitioned", "add", usb, "31116288", true, false, 1, {}, false},
        {"add, no medium", "add", usb, "0", false, false, 1, {}, false},
        {"add, loop device", "add", "/devices/virtual/block/sda", "8192", false, false, 1, {}, false},
        {"remove", "remove", usb, nullptr, false, true, 0, umount, false},
        {"remove, never mounted", "remove", usb, nullptr, false, false, 1, {}, false},
        {"remove, not on a host", "remove", loop, nullptr, false, true, 1, {}, true},
        {"change, card in", "change", usb, "31116288", false, false, 1, mount, true},
        {"change, card in, already mounted", "change", usb, "31116288", false, true, 1, {}, true},
        {"change, partitioned card in", "change", usb, "31116288", true, false, 1, {}, false},
        {"change, empty reader", "change", usb, "0", false, false, 1, {}, false},
    };
    for (const auto &c : cases) {
        Sandbox box(agent_options());
        put(box, "/dev/sda");
        sandbox::make_parents(box.host("/sys" + c.devpath + (c.partition ? "/sda1/" : "/")));
        if (c.size)
            put(box, "/sys" + c.devpath + "/size", std::string(c.size) + "\n");
        if (c.mnt)
            mkdir(box.host("/mnt/sda").c_str(), 0755);
        Strings vars = {"ACTION=" + c.action, "DEVPATH=" + c.devpath, "MINOR=0", "DEVTYPE=disk"};
        if (c.action == "change")
            vars.push_back("DISK_MEDIA_CHANGE=1");
        auto r = box.run(sandbox::agent_event({"block"}, vars));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), c.status) << c.what;
        EXPECT_EQ(started(box), c.started) << c.what;
        EXPECT_EQ(is_dir(box, "/mnt/sda"), c.left) << c.what;
        if (c.started.empty()) {
            EXPECT_LT(r.seconds(), 0.9) << c.what << ": waited for nothing";
        }
    }
}

// A media change with the card gone (the disk's open fails with ENOMEDIUM)
// lets go of the disk's own mount and its partitions', and of nothing else.
TEST_F(Agent, BlockChangeWithTheCardGoneLetsGoOfTheDisksMountsOnly)
{
    // ENOMEDIUM comes from a filter on the open's flags, which a dynamic
    // loader's opens, a sanitizer's and an emulator's share.
#ifndef HOTPLUG_STATIC_AGENT
    GTEST_SKIP() << "no static agent in this build";
#else
    if (!agent_options().runner.empty() || getenv("HOTPLUG_AGENT"))
        GTEST_SKIP() << "not the static agent of this build";
#endif
    const Strings others = {"sda0", "sda1x", "sdab1", "sdap1", "sdb1", "sd", "mmcblk0", "mmcblk01", "mmcblk0boot0",
                            "mmcblk0p", "mmcblk0p0", "mmcblk1p1", "mmcblk0p1x"};
    // More partitions than one read of /mnt returns, in whatever order it has.
    Strings sda = {"sda", "sda1", "sda2", "sda9", "sda12", "sda15"};
    for (int i = 20; i < 60; i++)
        sda.push_back("sda" + std::to_string(i));
    struct {
        const char *disk;
        Strings released; // what goes of /mnt
        Strings kept;     // what stays there
    } cases[] = {
        {"sda", sda, others},
        {"mmcblk0", {"mmcblk0p1", "mmcblk0p12"}, {"mmcblk01", "mmcblk0boot0", "mmcblk0p", "mmcblk0p0", "mmcblk1p1",
                                                   "mmcblk0p1x", "sda1", "sdb1"}},
        {"mmcblk9", {"mmcblk9p1", "mmcblk9p9"}, {"mmcblk91", "mmcblk9p", "mmcblk0p1", "sdb1"}},
    };
    sandbox::Options options = agent_options();
#ifdef HOTPLUG_STATIC_AGENT
    options.agent = HOTPLUG_STATIC_AGENT;
#endif
    for (const auto &c : cases) {
        Sandbox box(options);
        put(box, std::string("/dev/") + c.disk);
        Strings all = c.released;
        all.insert(all.end(), c.kept.begin(), c.kept.end());
        for (const std::string &m : all)
            mkdir(box.host("/mnt/" + m).c_str(), 0755);
        sandbox::Setup setup;
        setup.mounted = {"/mnt/" + c.released[0], "/mnt/sdb1"};
        setup.busy = {"/mnt/" + c.released[1]};
        auto cmd = sandbox::agent_event({"block"}, {"ACTION=change", std::string("DEVPATH=/block/") + c.disk,
                                                    "MINOR=0", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"});
        cmd.no_medium = true;
        auto r = box.run(cmd, setup);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), 1) << c.disk;
        EXPECT_EQ(started(box), Strings{}) << c.disk;
        EXPECT_EQ(sandbox::list_dir(box.host("/mnt")), sandbox::sorted(c.kept)) << c.disk;
        EXPECT_EQ(r.mounted, Strings{"/mnt/sdb1"}) << c.disk;
    }
}

// The kernel may run two agents for one device: one removes, one finds nothing.
TEST_F(Agent, TwoRemovesOfABusyStickAtOnce)
{
    Sandbox box(agent_options());
    mkdir(box.host("/mnt/sda1").c_str(), 0755);
    sandbox::Setup setup;
    setup.busy = {"/mnt/sda1"};
    auto remove = sandbox::agent_event({"block"}, with(sda1, {"ACTION=remove"}));
    auto r = box.run({remove, remove}, setup);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(std::min(r.status(0), r.status(1)), 0);
    EXPECT_EQ(std::max(r.status(0), r.status(1)), 255);
    EXPECT_FALSE(exists(box, "/mnt/sda1"));
    EXPECT_EQ(r.mounted, Strings{});
}

TEST_F(Agent, PlugInThenRemoveLeavesNothing)
{
    for (const Strings &stick : {sda1, pi4_sda1}) {
        Sandbox box(agent_options());
        put(box, "/dev/sda1");
        auto add = box.run(sandbox::agent_event({"block"}, with(stick, {"ACTION=add"})));
        EXPECT_EQ(add.status(), 1) << stick[0];
        EXPECT_EQ(mode_of(box, "/mnt/sda1"), 0755) << stick[0];
        auto remove = box.run(sandbox::agent_event({"block"}, with(stick, {"ACTION=remove"})));
        EXPECT_EQ(remove.status(), 0) << stick[0];
        EXPECT_EQ(started(box), (Strings{"/bin/mount -t vfat -o flush,utf8 /dev/sda1 /mnt/sda1", "/bin/umount -f /mnt/sda1"}))
            << stick[0];
        EXPECT_EQ(mode_of(box, "/mnt/sda1"), -1) << stick[0];
    }
}

TEST_F(Agent, GadgetScripts)
{
    struct {
        const char *action;
        bool scripts;
        int status;
        Strings started;
        size_t children;
    } cases[] = {
        {"add", true, 1, {"/etc/quorvane/gadget.sh"}, 1},
        {"remove", true, 0, {"/etc/quorvane/ugadget.sh"}, 1},
        {"change", true, 1, {}, 0},
        {"add", false, 1, {}, 1},
        {"remove", false, 0, {}, 1},
    };
    for (const auto &c : cases) {
        Sandbox box(agent_options(sandbox::Mnt::present, c.scripts));
        auto cmd = sandbox::agent_event({"gadget"}, {std::string("ACTION=") + c.action,
                                                     "DEVPATH=/devices/platform/dummy_udc.0/gadget.0"});
        auto r = box.run(cmd);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.status(), c.status) << c.action;
        EXPECT_EQ(started(box), c.started) << c.action;
        ASSERT_EQ(r.others.size(), c.children) << c.action;
        for (const auto &x : r.others)
            EXPECT_EQ(x.status, 0) << c.action;
        // The kernel starts the agent with 0 to 2 closed; the script's errors go to the kernel log.
        for (const auto &rec : box.records()) {
            EXPECT_EQ(sandbox::sorted(rec.env), sandbox::sorted(cmd.env)) << c.action;
            EXPECT_EQ(Strings(rec.fd, rec.fd + 3), (Strings{"null", "null", "kmsg"})) << c.action;
        }
    }
}

TEST_F(Agent, GadgetScriptRunsByItsInterpreterLine)
{
    auto options = agent_options();
    options.scripts = false;
    Sandbox box(options);
    mkdir(box.host("/etc/quorvane").c_str(), 0755);
    put(box, "/etc/quorvane/gadget.sh",
        "#!/bin/sh\necho \"$0 $# $ACTION $DEVPATH\" > /tmp/ran\n", 0755);
    auto r = box.run(sandbox::agent_event({"gadget"}, {"ACTION=add", "DEVPATH=/devices/x"}));
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(sandbox::read_file(box.host("/tmp/ran")), "/etc/quorvane/gadget.sh 0 add /devices/x\n");
}

} // namespace

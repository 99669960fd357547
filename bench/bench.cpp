// SPDX-License-Identifier: MIT
// Start-up cost of one hotplug event: user-space instructions of the helper
// process (callgrind, deterministic) and the median wall time from fork to
// reaped exit, for the agent in each linkage, the no-op floor, and busybox
// mdev set up to automount the way small systems commonly do. Every run is
// inside the sandbox, with recorders standing in for mount and the scripts.
#include "block.hpp"
#include "gadget.hpp"
#include "sandbox.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;

#define WHOLE_DISK "/devices/pci0000:00/0000:00:01.0/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0/block/sda"

struct Event {
    const char *label;
    Strings args;
    Strings vars;
};

struct Helper {
    const char *label;
    const char *path;   // inside the sandbox
    const char *floor;  // path of the helper that is its floor, or null
};

const Event events[] = {
    {"usb (ignored)", {"usb"}, {"ACTION=add", "DEVPATH=/devices/platform/usb1/1-1", "SUBSYSTEM=usb"}},
    {"gadget add", {"gadget"}, {"ACTION=add", "DEVPATH=/devices/platform/dummy_udc.0/gadget.0", "SUBSYSTEM=gadget"}},
    {"block add", {"block"}, {"ACTION=add", "DEVPATH=/block/sda/sda1", "SUBSYSTEM=block", "MAJOR=8", "MINOR=1", "DEVNAME=sda1"}},
    {"block (ignored)", {"block"}, {"ACTION=add", "DEVPATH=/block/sda", "SUBSYSTEM=block", "MAJOR=8", "MINOR=0", "DEVNAME=sda"}},
    // A stick without a partition table: its whole disk, read in sysfs.
    {"block add, disk", {"block"}, {"ACTION=add", "DEVPATH=" WHOLE_DISK, "SUBSYSTEM=block", "MAJOR=8", "MINOR=0",
                                    "DEVNAME=sda", "DEVTYPE=disk"}},
    // A stick's partition on a Raspberry Pi 4: its USB host behind a PCIe bridge and a hub.
    {"block add, long", {"block"}, {"ACTION=add",
      "DEVPATH=/devices/platform/scb/fd500000.pcie/pci0000:00/0000:00:00.0/0000:01:00.0/usb1/1-1/1-1.4/"
      "1-1.4:1.0/host0/target0:0:0/0:0:0:0/block/sda/sda1",
      "SUBSYSTEM=block", "MAJOR=8", "MINOR=1", "DEVNAME=sda1", "DEVTYPE=partition"}},
};

const Helper helpers[] = {
#ifdef HOTPLUG_MUSL
    {"agent, musl static", "/sbin/hotplug-musl", "/sbin/noop-musl"},
    {"no-op, musl static", "/sbin/noop-musl", nullptr},
#endif
    {"agent, static", "/sbin/hotplug-static", "/sbin/noop-static"},
    {"no-op, static", "/sbin/noop-static", nullptr},
    {"busybox mdev", "/sbin/mdev", "/sbin/noop-static"},
    {"agent, dynamic", "/sbin/hotplug-dynamic", "/sbin/noop-dynamic"},
    {"no-op, dynamic", "/sbin/noop-dynamic", nullptr},
};
constexpr int n_helpers = sizeof helpers / sizeof helpers[0];

int helper_index(const char *path)
{
    for (int h = 0; h < n_helpers; h++)
        if (path && strcmp(helpers[h].path, path) == 0)
            return h;
    return -1;
}

sandbox::Command command(const Helper &h, const Event &e)
{
    sandbox::Command c = sandbox::agent_event(e.args, e.vars);
    c.argv[0] = h.path;
    c.target = false;
    return c;
}

// Before each run: the nodes there, the mount points not yet made.
void reset(const sandbox::Sandbox &box)
{
    for (const char *name : {"sda1", "sda"}) {
        sandbox::write_file(box.host(std::string(node_prefix) + name));
        rmdir(box.host(std::string(mount_prefix) + name).c_str());
    }
}

// The whole disk in the sandbox's sysfs: a medium, no partitions.
void make_sysfs(const sandbox::Sandbox &box)
{
    std::string size = box.host("/sys" WHOLE_DISK "/size");
    sandbox::make_parents(size);
    sandbox::write_file(size, "31116288\n");
}

long long instructions(sandbox::Sandbox &box, const Helper &h, const Event &e)
{
    reset(box);
    auto r = box.run(sandbox::under_valgrind(command(h, e), {"--tool=callgrind", "--callgrind-out-file=/tmp/cg.%p.out"}));
    if (!r.ok)
        return -1;
    std::istringstream in(sandbox::read_file(box.host("/tmp/cg." + std::to_string(r.commands[0].pid) + ".out")));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("totals: ", 0) == 0 || line.rfind("summary: ", 0) == 0)
            return atoll(line.c_str() + line.find(' ') + 1);
    return -1;
}

double median_us(sandbox::Sandbox &box, const Helper &h, const Event &e, int runs)
{
    std::vector<double> t;
    for (int i = 0; i < runs; i++) {
        reset(box);
        auto r = box.run(command(h, e));
        if (!r.ok)
            return -1;
        t.push_back(r.seconds() * 1e6);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

std::string thousands(long long v)
{
    std::string s = std::to_string(v);
    for (int i = int(s.size()) - 3; i > (s[0] == '-'); i -= 3)
        s.insert(i, ",");
    return s;
}

sandbox::Options options()
{
    sandbox::Options o;
    o.recorder = HOTPLUG_RECORDER;
    o.programs = {{"/sbin/hotplug-static", HOTPLUG_STATIC},  {"/sbin/hotplug-dynamic", HOTPLUG_DYNAMIC},
                  {"/sbin/noop-static", NOOP_STATIC},        {"/sbin/noop-dynamic", NOOP_DYNAMIC},
#ifdef HOTPLUG_MUSL
                  {"/sbin/hotplug-musl", HOTPLUG_MUSL},      {"/sbin/noop-musl", NOOP_MUSL},
#endif
                  {"/sbin/mdev", "/usr/bin/busybox"},        {"/etc/mdev/automount.sh", HOTPLUG_RECORDER}};
    return o;
}

// The boards' automount rule, and the gadget script run as the agent runs it.
void configure_mdev(const sandbox::Sandbox &box)
{
    mkdir(box.host("/etc/mdev").c_str(), 0755);
    sandbox::write_file(box.host("/etc/mdev.conf"), sandbox::read_file(HOTPLUG_MDEV_CONF) + "gadget.* 0:0 660 @" +
                                                     gadget_add_script + "\n");
}

struct Figures {
    long long ins[n_helpers];
    double us[n_helpers];
};

Figures measure(sandbox::Sandbox &box, const Event &e, int runs)
{
    Figures f;
    for (int h = 0; h < n_helpers; h++) {
        f.ins[h] = instructions(box, helpers[h], e);
        f.us[h] = median_us(box, helpers[h], e, runs);
    }
    return f;
}

void print_rows(const Event &e, const Figures &f)
{
    for (int h = 0; h < n_helpers; h++) {
        printf("%-16s %-18s %14s", h ? "" : e.label, helpers[h].label, thousands(f.ins[h]).c_str());
        int floor = helper_index(helpers[h].floor);
        if (floor < 0)
            printf(" %8s %11.0f\n", "", f.us[h]);
        else
            printf(" %7.2fx %11.0f %7.2fx\n", double(f.ins[h]) / double(f.ins[floor]), f.us[h], f.us[h] / f.us[floor]);
    }
}

// The first row is the agent as a device runs it, static on musl, or
// static on glibc where this machine has no musl; its targets are set
// against the floors and the peer.
void add_targets(const Event &e, const Figures &f, Strings &targets)
{
    const int agent = 0, floor = helper_index(helpers[agent].floor);
    auto target = [&](const std::string &what, bool met) {
        targets.push_back("target: " + what + ": " + (met ? "met" : "NOT met"));
    };
#ifdef HOTPLUG_MUSL
    if (e.args[0] == "usb") {
        target("ignored event at most 1,000 instructions", f.ins[agent] <= 1000);
        target("ignored event's median within 1.1x the musl no-op", f.us[agent] <= 1.1 * f.us[floor]);
        target("ignored event's median at most 0.75x the static glibc no-op",
               f.us[agent] <= 0.75 * f.us[helper_index("/sbin/noop-static")]);
    }
#else
    if (e.args[0] == "usb")
        target("ignored event within 1.05x its floor's instructions", f.ins[agent] <= 1.05 * double(f.ins[floor]));
#endif
    target(std::string(e.label) + " below the peer's instructions", f.ins[agent] < f.ins[helper_index("/sbin/mdev")]);
}

} // namespace

int main(int argc, char **argv)
{
    int runs = 101;
    for (int i = 1; i < argc; i++) {
        if (!strncmp(argv[i], "--runs=", 7) && atoi(argv[i] + 7) > 0)
            runs = atoi(argv[i] + 7);
        else {
            fprintf(stderr, "usage: bench [--runs=N]\n");
            return 2;
        }
    }
    sandbox::Sandbox box(options());
    if (!box.ok()) {
        fprintf(stderr, "bench: %s\n", box.error().c_str());
        return 1;
    }
    configure_mdev(box);
    make_sysfs(box);

    printf("%-16s %-18s %14s %8s %11s %8s\n", "event", "helper", "instructions", "x floor", "median us",
           "x floor");
    Strings targets;
    for (const Event &e : events) {
        Figures f = measure(box, e, runs);
        print_rows(e, f);
        add_targets(e, f, targets);
    }
    printf("\nmedian of %d runs each; instructions from valgrind callgrind, helper process only\n", runs);
    printf("agent: %s\n", helpers[0].label);
    for (const std::string &t : targets)
        printf("%s\n", t.c_str());
    return 0;
}

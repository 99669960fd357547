// SPDX-License-Identifier: MIT
// try-event: shows what the agent does for hotplug events, without touching
// this machine. Each event runs the real agent at its real paths inside a
// sandbox; the events of one call share the sandbox, in order.
#include "block.hpp"
#include "gadget.hpp"
#include "hotplug.hpp"
#include "sandbox.hpp"
#include "token.hpp"
#include "util.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <map>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;

const char usage[] =
    "usage: try-event [OPTION]... EVENT [-- EVENT]...\n"
    "EVENT is the agent's arguments followed by its environment as NAME=VALUE,\n"
    "for example: try-event block ACTION=add DEVPATH=/block/sda/sda1 MINOR=1\n"
    "\n"
    "  --node=present|absent|after:MS  device node of a block event: there before\n"
    "                                  the event (default), never, or made MS ms in\n"
    "  --mnt=present|missing|readonly  /mnt (default present)\n"
    "  --busy                          mount point mounted at a remove event, a file\n"
    "                                  on it open (a program reading the stick)\n"
    "  --scripts=present|absent        the gadget scripts (default present)\n"
    "  --sys=DIR                       the sysfs tree a whole disk's add reads (default\n"
    "                                  this machine's /sys)\n"
    "  --agent=PATH                    agent binary (default: the one built with this tool)\n"
    "  --runner='PROGRAM [ARG]...'     run the agent under PROGRAM, e.g. qemu-arm-static\n"
    "  --recorder=PATH                 recorder program (default: the one built with this tool)\n";

struct Event {
    std::vector<std::string> args;
    std::vector<std::string> vars;
};

struct Config {
    std::string node = "present";
    int node_ms = 0;
    bool busy = false;
    sandbox::Options options;
    std::vector<Event> events;
};

int bad(const char *fmt, const char *what)
{
    fprintf(stderr, "try-event: ");
    fprintf(stderr, fmt, what);
    fprintf(stderr, "\n(try-event --help shows the usage)\n");
    return 2;
}

int node_option(const char *v, Config &cfg)
{
    if (!strcmp(v, "present") || !strcmp(v, "absent")) {
        cfg.node = v;
        return 0;
    }
    if (strncmp(v, "after:", 6) != 0)
        return bad("--node is present, absent or after:MS, not '%s'", v);
    char *end;
    long ms = strtol(v + 6, &end, 10);
    if (end == v + 6 || *end || ms < 0 || ms > 60000)
        return bad("--node=after: wants milliseconds from 0 to 60000, not '%s'", v + 6);
    cfg.node = "after";
    cfg.node_ms = int(ms);
    return 0;
}

int mnt_option(const char *v, Config &cfg)
{
    static const char *const names[] = {"present", "missing", "readonly"}; // sandbox::Mnt's order
    for (int i = 0; i < 3; i++)
        if (!strcmp(v, names[i]))
            return cfg.options.mnt = sandbox::Mnt(i), 0;
    return bad("--mnt is present, missing or readonly, not '%s'", v);
}

// The options, up to the first event; 1 when --help was asked for.
int parse_options(int argc, char **argv, Config &cfg)
{
    enum { node = 1, mnt, busy, scripts, sys, agent, runner, recorder, help };
    static const option long_options[] = {
        {"node", required_argument, nullptr, node},       {"mnt", required_argument, nullptr, mnt},
        {"busy", no_argument, nullptr, busy},             {"scripts", required_argument, nullptr, scripts},
        {"sys", required_argument, nullptr, sys},         {"agent", required_argument, nullptr, agent},
        {"runner", required_argument, nullptr, runner},
        {"recorder", required_argument, nullptr, recorder}, {"help", no_argument, nullptr, help},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int opt, rc = 0;
    // "+": stop at the first event; its words are not options.
    while (rc == 0 && (opt = getopt_long(argc, argv, "+", long_options, nullptr)) != -1) {
        switch (opt) {
        case node: rc = node_option(optarg, cfg); break;
        case mnt: rc = mnt_option(optarg, cfg); break;
        case busy: cfg.busy = true; break;
        case scripts:
            if (strcmp(optarg, "present") && strcmp(optarg, "absent"))
                return bad("--scripts is present or absent, not '%s'", optarg);
            cfg.options.scripts = !strcmp(optarg, "present");
            break;
        case sys: cfg.options.sys = optarg; break;
        case agent: cfg.options.agent = optarg; break;
        case runner: cfg.options.runner = sandbox::split_words(optarg); break;
        case recorder: cfg.options.recorder = optarg; break;
        case help: return fputs(usage, stdout), 1;
        default: return bad("unknown option, or one without its value: '%s'", argv[optind - 1]);
        }
    }
    return rc;
}

// The events after the options: arguments, then NAME=VALUE, split by "--".
int parse_events(int argc, char **argv, Config &cfg)
{
    cfg.events.emplace_back();
    for (int i = optind; i < argc; i++) {
        Event &e = cfg.events.back();
        if (!strcmp(argv[i], "--")) {
            if (e.args.empty() && e.vars.empty())
                return bad("%s", "an event between two '--' is empty");
            cfg.events.emplace_back();
        } else if (!strncmp(argv[i], "--", 2))
            return bad("'%s': options come before the first event", argv[i]);
        else if (strchr(argv[i], '=') && argv[i][0] != '=')
            e.vars.push_back(argv[i]);
        else if (!e.vars.empty())
            return bad("'%s' follows the environment: arguments come first", argv[i]);
        else
            e.args.push_back(argv[i]);
    }
    if (cfg.events.back().args.empty() && cfg.events.back().vars.empty())
        return bad("%s", "no event given");
    return 0;
}

std::string shown(const std::string &text)
{
    std::string e = sandbox::escape(text);
    if (!e.empty() && e.find_first_of(" '\"$") == std::string::npos)
        return e;
    return "'" + e + "'";
}

std::string joined(const std::vector<std::string> &words)
{
    Strings each;
    for (const std::string &w : words)
        each.push_back(shown(w));
    return sandbox::join_words(each);
}

std::string quoted(const char *text)
{
    return "\"" + sandbox::escape(text) + "\"";
}

// Why the block checks ignored an event, with the value they looked at.
std::string block_ignored(block_check check, char *const *env)
{
    // The name the checks took, if they got as far as splitting the path.
    std::string name = tokenset.count ? quoted(tokenset.token[tokenset.count - 1]) : "in DEVPATH";
    switch (check) {
    case block_check::ok: break;
    case block_check::minor_absent: return "MINOR is absent";
    case block_check::minor_not_positive: return "MINOR " + quoted(env_find(env, "MINOR")) + " is not positive";
    case block_check::whole_disk: return "DEVTYPE=disk: a whole disk";
    case block_check::not_on_host: return "the whole disk " + name + " is not on a USB or MMC host";
    case block_check::emmc_area: return "the whole disk " + name + " is an eMMC's boot or RPMB area";
    case block_check::not_in_sysfs:
        return "the whole disk's DEVPATH " + quoted(env_find(env, "DEVPATH")) + " is not a directory under /sys";
    case block_check::no_medium: return "the whole disk " + name + " has no medium (its size is 0)";
    case block_check::partitioned: return "the whole disk " + name + " has partitions: they are mounted instead";
    case block_check::not_mounted: return "the whole disk " + name + " has no " + sandbox::escape(mntptr);
    case block_check::devpath_absent: return "DEVPATH is absent";
    case block_check::no_component: return "DEVPATH " + quoted(env_find(env, "DEVPATH")) + " names no device";
    case block_check::name_too_long:
        return "the name " + name + " is longer than " +
               std::to_string(mntptr_size - sizeof mount_prefix) + " bytes";
    case block_check::name_unsafe: return "the name " + name + " is \".\" or \"..\" or holds a slash";
    case block_check::no_media_change: return "no DISK_MEDIA_CHANGE=1: not a medium that came or went";
    case block_check::not_whole_disk: return "a media change of other than DEVTYPE=disk";
    }
    return "";
}

// What the agent does with the event, decided by its own tables and checks:
// for a block event it acts on, its node and mount point are in mountdev
// and mntptr. When it does nothing, *ignored says which lookup or check
// stopped it.
block_step reached(const sandbox::Sandbox &box, const sandbox::Command &c, const std::string &sys,
                   std::string *ignored)
{
    std::vector<char *> argv = sandbox::pointers(c.argv), env = sandbox::pointers(c.env);
    int argc = int(argv.size() - 1);
    const subsystem_entry *row = main_entry(argc, argv.data());
    if (!row) {
        *ignored = argc != 2 ? "the agent takes one argument, not " + std::to_string(argc - 1)
                             : "no subsystem starts with " + quoted(argv[1]);
        return block_step::none;
    }
    const char *action = event_action(env.data());
    std::string no_action = action ? "no " + std::string(row->name) + " action starts with " + quoted(action)
                                   : std::string("ACTION is absent");
    if (row->handler == gadget_handler) {
        if (!gadget_reached(env.data()))
            *ignored = no_action;
        return block_step::none;
    }
    if (row->handler != block_handler)
        return block_step::none;

    // Cleared, so that a name shows only when these checks split the path.
    tokenset = {};
    block_check check;
    int sysfs = open(sys.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    block_step step = block_reached(env.data(), sysfs, &check);
    if (sysfs >= 0)
        close(sysfs);
    // A whole disk's remove looks for /mnt/NAME, which is the sandbox's.
    if (check == block_check::not_mounted && access(box.host(mntptr).c_str(), F_OK) == 0) {
        check = block_check::ok;
        step = block_step::remove;
    }
    if (step == block_step::none)
        *ignored = check == block_check::ok ? no_action : block_ignored(check, env.data());
    return step;
}

using Tree = std::map<std::string, mode_t>;

// The sandbox tree below dir, its own files left out: path inside, mode.
Tree tree(const sandbox::Sandbox &box, const std::string &dir = "")
{
    Tree seen;
    for (const std::string &name : sandbox::list_dir(box.host(dir))) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (path == "/.sandbox" || path == "/sys" || lstat(box.host(path).c_str(), &st) != 0)
            continue;
        seen[path] = st.st_mode;
        if (S_ISDIR(st.st_mode))
            seen.merge(tree(box, path));
    }
    return seen;
}

// What is in one tree and not the other: made (with its mode) or removed.
void show_change(const char *what, const Tree &from, const Tree &to)
{
    for (const auto &[path, mode] : to) {
        if (from.count(path))
            continue;
        printf("  %-8s %s%s", what, shown(path).c_str(), S_ISDIR(mode) ? "/" : "");
        if (!strcmp(what, "made"))
            printf(", mode %04o", unsigned(mode & 07777));
        printf("\n");
    }
}

// Puts the device node and the busy mount point where the agent will look
// for them, and says so.
void set_scene(sandbox::Sandbox &box, const Config &cfg, block_step step, sandbox::Setup &setup)
{
    if (step == block_step::add || step == block_step::change) {
        std::string node = mountdev;
        if (cfg.node == "present") {
            sandbox::write_file(box.host(node));
            printf("  node     %s is there\n", shown(node).c_str());
        } else if (cfg.node == "after") {
            setup.later.push_back({node, cfg.node_ms});
            printf("  node     %s appears after %d ms\n", shown(node).c_str(), cfg.node_ms);
        } else
            printf("  node     %s never appears\n", shown(node).c_str());
    }
    if (step == block_step::remove && cfg.busy && cfg.options.mnt != sandbox::Mnt::missing) {
        // Made here, not by the run, so that it is not shown as the agent's.
        mkdir(box.host(mntptr).c_str(), 0755);
        setup.busy.push_back(mntptr);
        printf("  busy     %s is mounted, a file on it open\n", shown(mntptr).c_str());
    }
}

void show_started(const std::vector<sandbox::Record> &records, const Strings &env)
{
    for (const sandbox::Record &rec : records) {
        printf("  started  %s\n", joined(rec.argv).c_str());
        if (sandbox::sorted(rec.env) != sandbox::sorted(env))
            printf("           with the environment %s\n", joined(rec.env).c_str());
    }
}

// Children that exec'd nothing the recorder saw: a launch whose exec failed.
void show_silent_children(const sandbox::Result &r, const std::vector<sandbox::Record> &records)
{
    for (const sandbox::Exit &x : r.others)
        if (std::none_of(records.begin(), records.end(), [&](const sandbox::Record &rec) { return rec.pid == x.pid; }))
            printf("  child    started nothing, exit status %d\n", sandbox::exit_status(x.status));
}

// A forced unmount cannot take a busy mount: one gone is the agent's detach.
void show_detached(const sandbox::Setup &setup, const sandbox::Result &r)
{
    for (const std::string &m : setup.busy)
        if (std::find(r.mounted.begin(), r.mounted.end(), m) == r.mounted.end())
            printf("  detached %s, its file system stays until the file is closed\n", shown(m).c_str());
}

// Whether the agent opened the node, seen by inotify; -1 when not watched.
int watch_node(const sandbox::Sandbox &box, block_step step)
{
    if (step != block_step::change)
        return -1;
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && inotify_add_watch(fd, box.host(mountdev).c_str(), IN_OPEN | IN_CLOSE) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A media change opens the disk: a card in keeps its mounts. A card gone
// (the open fails with ENOMEDIUM) needs a real removable disk.
void show_opened(int watch)
{
    if (watch < 0)
        return;
    alignas(inotify_event) char buf[4096];
    uint32_t seen = 0;
    ssize_t n;
    while ((n = read(watch, buf, sizeof buf)) > 0)
        for (char *p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len)
            seen |= reinterpret_cast<inotify_event *>(p)->mask;
    close(watch);
    if (!(seen & IN_OPEN))
        return;
    const char *how = seen & IN_CLOSE_WRITE ? " for writing and closed it"
                      : seen & IN_CLOSE_NOWRITE ? " read-only and closed it" : "";
    printf("  opened   %s%s: the medium is in, its mounts stay\n", shown(mountdev).c_str(), how);
}

void show_exit(const sandbox::Result &r)
{
    if (r.status() >= 0)
        printf("  exit     %d (after %.2f s)\n", r.status(), r.seconds());
    else
        printf("  killed   by signal %d\n", WTERMSIG(r.commands[0].status));
}

bool run_event(sandbox::Sandbox &box, const Config &cfg, const Event &e, int number)
{
    Strings words = e.args;
    words.insert(words.end(), e.vars.begin(), e.vars.end());
    printf("event %d: hotplug %s\n", number, joined(words).c_str());

    sandbox::Command c = sandbox::agent_event(e.args, e.vars);
    sandbox::Setup setup;
    std::string ignored;
    block_step step = reached(box, c, cfg.options.sys, &ignored);
    if (!ignored.empty())
        printf("  ignored  %s\n", ignored.c_str());
    set_scene(box, cfg, step, setup);

    box.clear_records();
    auto before = tree(box);
    int watch = watch_node(box, step);
    sandbox::Result r = box.run(c, setup);
    if (!r.ok) {
        close(watch);
        fprintf(stderr, "try-event: %s\n", r.error.c_str());
        return false;
    }
    // The agent makes a mount point before it starts anything and removes
    // one after, so this order is the order of events. A node made late is
    // the sandbox's doing, not the agent's.
    auto after = tree(box);
    for (const auto &made : r.created)
        after.erase(made.first);
    show_opened(watch);
    show_change("made", before, after);
    auto records = box.records();
    show_started(records, c.env);
    show_silent_children(r, records);
    show_detached(setup, r);
    show_change("removed", after, before);
    show_exit(r);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Config cfg;
    cfg.options.agent = HOTPLUG_AGENT;
    cfg.options.recorder = HOTPLUG_RECORDER;
    cfg.options.sys = "/sys";
    if (int rc = parse_options(argc, argv, cfg))
        return rc == 1 ? 0 : rc;
    if (int rc = parse_events(argc, argv, cfg))
        return rc;

    for (const std::string &program : {cfg.options.agent, cfg.options.recorder})
        if (access(program.c_str(), X_OK) != 0) {
            fprintf(stderr, "try-event: no program at %s (built?)\n", program.c_str());
            return 1;
        }
    sandbox::Sandbox box(cfg.options);
    if (!box.ok()) {
        fprintf(stderr, "try-event: %s\n", box.error().c_str());
        return 1;
    }
    for (size_t i = 0; i < cfg.events.size(); i++)
        if (!run_event(box, cfg, cfg.events[i], int(i + 1)))
            return 1;
    return 0;
}

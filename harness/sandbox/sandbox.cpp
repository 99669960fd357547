// SPDX-License-Identifier: MIT
#include "sandbox.hpp"

#include "block.hpp"
#include "gadget.hpp"
#include "util.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <climits>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sandbox {

namespace {

const char *const scripts[] = {gadget_add_script, gadget_remove_script};

// The agent's prefixes of mount points and nodes, as directories.
const std::string mnt_dir(mount_prefix, sizeof mount_prefix - 2);
const std::string dev_dir(node_prefix, sizeof node_prefix - 2);

std::string failed(const std::string &what)
{
    return what + ": " + strerror(errno);
}

// A setting of the kernel's, written into its existing file under /proc.
bool write_setting(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// A mount namespace of our own; as a user without the right to that, one
// inside a user namespace where we are root.
std::string enter_namespace()
{
    if (unshare(CLONE_NEWNS) != 0) {
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return failed("unshare of a mount namespace");
        write_setting("/proc/self/setgroups", "deny");
        if (!write_setting("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
            !write_setting("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
            return failed("user namespace map");
    }
    // Nothing mounted from here on may reach the machine's own namespace.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("making / private");
    return "";
}

std::string bind(const std::string &from, const std::string &to, bool readonly)
{
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return failed("bind " + from + " on " + to);
    if (!readonly)
        return "";
    // A remount must keep the flags the kernel has locked on the source.
    struct statvfs st;
    unsigned long keep = 0;
    if (statvfs(to.c_str(), &st) == 0) {
        if (st.f_flag & ST_NOSUID) keep |= MS_NOSUID;
        if (st.f_flag & ST_NODEV) keep |= MS_NODEV;
        if (st.f_flag & ST_NOEXEC) keep |= MS_NOEXEC;
    }
    if (mount(nullptr, to.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | keep, nullptr) != 0)
        return failed("read-only " + to);
    return "";
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

// The run's manager, and the process that makes the later files, tell the
// run what happens: one fixed record per step, written whole, so that the
// writes of the two never interleave (a pipe keeps writes of up to PIPE_BUF
// bytes apart).
enum class Step { start, helper, command, exit, created, mounted };

struct Report {
    Step step;
    long long n[3];  // start: ns; helper: pid; command: index, pid;
                     // exit: pid, raw wait status, ns; created: ns
    char text[1024]; // created: the later file; mounted: a setup mount still there
};
static_assert(sizeof(Report) <= PIPE_BUF);

void report(int fd, Step step, std::initializer_list<long long> numbers, const std::string &text = "")
{
    Report r{step, {}, {}};
    std::copy(numbers.begin(), numbers.end(), r.n);
    text.copy(r.text, sizeof r.text - 1);
    if (write(fd, &r, sizeof r) != sizeof r)
        _exit(3);
}

void set_fds(const Command &command, const std::string &out)
{
    close(0);
    close(1);
    close(2);
    if (!command.closed_fds) {
        open("/dev/null", O_RDONLY);
        open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (dup(1) != 2)
            _exit(126);
    }
    close_range(3, ~0U, 0);
}

// The build machine's system calls, as the fork filter sees them.
#if defined(__x86_64__)
constexpr uint32_t native_arch = AUDIT_ARCH_X86_64;
constexpr uint32_t fork_nr = SYS_fork, vfork_nr = SYS_vfork, open_nr = SYS_open;
#elif defined(__aarch64__)
constexpr uint32_t native_arch = AUDIT_ARCH_AARCH64;
constexpr uint32_t fork_nr = ~0u, vfork_nr = ~0u; // none: clone makes every process
constexpr uint32_t open_nr = ~0u;                 // none: openat opens every file
#else
#error "sandbox: no system call table for this build machine; add its AUDIT_ARCH and fork calls here"
#endif

// Installs a seccomp filter whose rules start with the system call's number
// loaded; a call of another architecture than the build machine's kills.
bool install_filter(const sock_filter *rules, size_t n)
{
    struct sock_filter filter[32] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, native_arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
    };
    const size_t head = 4;
    if (head + n > sizeof filter / sizeof filter[0])
        return false;
    memcpy(filter + head, rules, n * sizeof *rules);
    struct sock_fprog prog = {static_cast<unsigned short>(head + n), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// From here on a new process cannot be made: fork and vfork fail with
// EAGAIN, and so does clone unless it makes a thread (an emulator needs its
// threads). clone3 says ENOSYS, so that callers fall back to clone.
bool forbid_fork()
{
    const uint32_t eagain = SECCOMP_RET_ERRNO | EAGAIN, enosys = SECCOMP_RET_ERRNO | ENOSYS;
    struct sock_filter filter[] = {
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, enosys),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, fork_nr, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, vfork_nr, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, eagain),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, eagain),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    return install_filter(filter, sizeof filter / sizeof filter[0]);
}

// From here on an open with just O_RDONLY | O_CLOEXEC (O_LARGEFILE aside),
// as the agent opens a disk, fails with ENOMEDIUM: the disk of a card reader
// whose card is gone. Other opens go through.
bool forbid_medium()
{
    const uint32_t enomedium = SECCOMP_RET_ERRNO | ENOMEDIUM, largefile = 0100000;
    struct sock_filter filter[] = {
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JA, 2, 0, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, open_nr, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, ~largefile),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, O_RDONLY | O_CLOEXEC, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, enomedium),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    return install_filter(filter, sizeof filter / sizeof filter[0]);
}

// The setup's later files, made by a process of their own.
void start_later(const std::vector<Later> &later, int64_t start, int fd)
{
    if (later.empty())
        return;
    if (pid_t helper = fork()) {
        report(fd, Step::helper, {helper});
        return;
    }
    std::vector<Later> order = later;
    std::stable_sort(order.begin(), order.end(),
                     [](const Later &a, const Later &b) { return a.delay_ms < b.delay_ms; });
    for (const Later &l : order) {
        int64_t wait = start + int64_t(l.delay_ms) * 1000000 - now_ns();
        if (wait > 0) {
            struct timespec ts = {time_t(wait / 1000000000), long(wait % 1000000000)};
            nanosleep(&ts, nullptr);
        }
        write_file(l.path);
        report(fd, Step::created, {now_ns()}, l.path);
    }
    _exit(0);
}

std::string output_path(int run, size_t i)
{
    return "/.sandbox/out." + std::to_string(run) + "." + std::to_string(i);
}

// A program named without a slash, found along PATH as a shell would.
std::string find_program(const std::string &name)
{
    const char *path = getenv("PATH");
    if (name.find('/') != std::string::npos || !path)
        return name;
    for (const char *dir = path;; dir += strcspn(dir, ":") + 1) {
        std::string candidate = std::string(dir, strcspn(dir, ":")) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (!dir[strcspn(dir, ":")])
            return name;
    }
}

// The setup's mount points, busy or not.
std::vector<std::string> mounts_of(const Setup &setup)
{
    std::vector<std::string> all = setup.mounted;
    all.insert(all.end(), setup.busy.begin(), setup.busy.end());
    return all;
}

// Whether path has a file system of its own mounted on it.
bool mount_point(const std::string &path)
{
    struct stat st, up;
    std::string parent = path.substr(0, path.rfind('/'));
    return lstat(path.c_str(), &st) == 0 && lstat(parent.empty() ? "/" : parent.c_str(), &up) == 0 &&
           st.st_dev != up.st_dev;
}

// Every process of the run as it ends, the orphans it adopts too.
void reap_all(int fd)
{
    int st;
    pid_t pid;
    while ((pid = waitpid(-1, &st, 0)) > 0 || errno == EINTR)
        if (pid > 0)
            report(fd, Step::exit, {pid, st, now_ns()});
}

// The manager's reports into r; pids gets each command's process.
void read_reports(const std::string &text, std::vector<int> &pids, Result &r)
{
    r.commands.resize(pids.size());
    int helper = 0;
    for (size_t at = 0; at + sizeof(Report) <= text.size(); at += sizeof(Report)) {
        Report rep;
        memcpy(&rep, text.data() + at, sizeof rep);
        switch (rep.step) {
        case Step::start: r.start_ns = rep.n[0]; break;
        case Step::helper: helper = int(rep.n[0]); break;
        case Step::created: r.created.push_back({rep.text, rep.n[0]}); break;
        case Step::mounted: r.mounted.push_back(rep.text); break;
        case Step::command:
            if (size_t(rep.n[0]) < pids.size())
                pids[rep.n[0]] = int(rep.n[1]);
            break;
        case Step::exit: {
            Exit e{int(rep.n[0]), int(rep.n[1]), rep.n[2]};
            auto it = std::find(pids.begin(), pids.end(), e.pid);
            if (it != pids.end())
                r.commands[it - pids.begin()] = e;
            else if (e.pid != helper)
                r.others.push_back(e);
            break;
        }
        }
    }
}

// What went wrong with a run whose manager ended with status st, if anything.
std::string run_error(int st, const std::vector<int> &pids)
{
    if (WIFSIGNALED(st))
        return "the run was killed (timeout?)";
    if (exit_status(st) != 0)
        return "could not enter the sandbox (exit " + std::to_string(exit_status(st)) + ")";
    if (std::find(pids.begin(), pids.end(), 0) != pids.end())
        return "a command was not started";
    return "";
}

} // namespace

std::vector<char *> pointers(const std::vector<std::string> &texts)
{
    std::vector<char *> out;
    for (const std::string &t : texts)
        out.push_back(const_cast<char *>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

int Result::status(size_t i) const
{
    return i < commands.size() ? exit_status(commands[i].status) : -1;
}

double Result::seconds(size_t i) const
{
    return double(commands.at(i).end_ns - start_ns) / 1e9;
}

bool available(std::string *why)
{
    static int known = -1;
    static std::string reason;
    if (known < 0) {
        int p[2] = {-1, -1}, st = 0;
        pid_t pid = pipe2(p, O_CLOEXEC) == 0 ? fork() : -1;
        if (pid == 0) {
            std::string err = enter_namespace();
            _exit(write(p[1], err.data(), err.size()) < 0 || !err.empty());
        }
        close(p[1]);
        reason = read_fd(p[0]);
        close(p[0]);
        known = pid > 0 && waitpid(pid, &st, 0) == pid && exit_status(st) == 0;
        if (!known && reason.empty())
            reason = "could not start the probe";
    }
    if (why)
        *why = reason;
    return known;
}

Command agent_event(const std::vector<std::string> &args, const std::vector<std::string> &vars)
{
    Command c;
    c.argv = {"/sbin/hotplug"};
    c.argv.insert(c.argv.end(), args.begin(), args.end());
    c.env = {"HOME=/", "PATH=/sbin:/bin:/usr/sbin:/usr/bin"};
    c.env.insert(c.env.end(), vars.begin(), vars.end());
    return c;
}

Command under_valgrind(Command command, const std::vector<std::string> &tool)
{
    std::vector<std::string> prefix = {"/usr/bin/valgrind", "--trace-children=no"};
    prefix.insert(prefix.end(), tool.begin(), tool.end());
    command.argv.insert(command.argv.begin(), prefix.begin(), prefix.end());
    command.target = false;
    return command;
}

Sandbox::Sandbox(Options options) : options_(std::move(options))
{
    std::string why;
    if (!available(&why)) {
        error_ = "cannot make a sandbox here: " + why;
        return;
    }
    if (!options_.runner.empty())
        options_.runner[0] = find_program(options_.runner[0]);
    if (!options_.agent.empty())
        options_.programs.push_back({"/sbin/hotplug", options_.agent});
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/hotplug-sandbox.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        error_ = failed("mkdtemp " + pattern);
        return;
    }
    top_ = name.data();
    root_ = top_ + "/root";
    if (!build() && error_.empty())
        error_ = "could not build the sandbox tree";
}

Sandbox::~Sandbox()
{
    if (!top_.empty())
        nftw(top_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

bool Sandbox::build()
{
    // The scripts' directory comes with them, below.
    std::vector<std::string> dirs = {"", "/usr", "/bin", "/sbin", dev_dir, "/etc", "/tmp", "/proc", "/sys", "/.sandbox"};
    if (options_.mnt != Mnt::missing)
        dirs.push_back(mnt_dir);
    for (const std::string &d : dirs)
        if (mkdir(host(d).c_str(), 0755) != 0) {
            error_ = failed("mkdir " + host(d));
            return false;
        }

    for (const char *lib : {"lib", "lib32", "lib64", "libx32"})
        if (access((std::string("/") + lib).c_str(), F_OK) == 0 &&
            symlink((std::string("usr/") + lib).c_str(), host(std::string("/") + lib).c_str()) != 0)
            return false;
    if (symlink("/usr/bin/sh", host("/bin/sh").c_str()) != 0)
        return false;

    // A file at each path that the run binds a program or /dev/null on.
    std::vector<std::string> files;
    for (const auto &b : binds())
        files.push_back(b.second);
    for (const std::string &f : files)
        make_parents(host(f));
    for (const std::string &f : files)
        if (!write_file(host(f), "", 0755)) {
            error_ = failed("create " + host(f));
            return false;
        }
    if (options_.kmsg && !write_file(host(kmsg_path), "", 0666))
        return false;
    return write_file(host("/.sandbox/log"), "", 0666);
}

// What the run binds into the tree: {host path, path inside}.
std::vector<std::pair<std::string, std::string>> Sandbox::binds() const
{
    std::vector<std::pair<std::string, std::string>> binds = {
        {"/dev/null", "/dev/null"},
        {options_.recorder, "/.sandbox/recorder"},
    };
    for (const std::string &r : options_.recorded)
        binds.push_back({options_.recorder, r});
    if (options_.scripts)
        for (const char *s : scripts)
            binds.push_back({options_.recorder, s});
    if (!options_.runner.empty())
        binds.push_back({options_.runner[0], "/.sandbox/runner"});
    for (const auto &[inside, outside] : options_.programs)
        binds.push_back({outside, inside});
    return binds;
}

// The tree's mounts: the host's /usr read-only, /proc (sanitizer runtimes
// read /proc/self/maps), the programs, the sysfs tree asked for read-only,
// and /mnt read-only when asked.
std::string Sandbox::mount_tree() const
{
    std::string err = bind("/usr", host("/usr"), true);
    if (err.empty())
        err = bind("/proc", host("/proc"), false);
    for (const auto &[from, to] : binds())
        if (err.empty())
            err = bind(from, host(to), false);
    if (err.empty() && !options_.sys.empty())
        err = bind(options_.sys, host("/sys"), true);
    if (err.empty() && options_.mnt == Mnt::readonly)
        err = bind(host(mnt_dir), host(mnt_dir), true);
    return err;
}

// The setup's sticks: a file system on each mount point, and on the busy
// ones a file held open, as a program reading from a stick holds it (a
// forced unmount fails on it). The open files go into held.
std::string Sandbox::mount_sticks(const Setup &setup, std::vector<int> &held) const
{
    for (const std::string &m : mounts_of(setup)) {
        mkdir(host(m).c_str(), 0755);
        if (mount("stick", host(m).c_str(), "tmpfs", 0, "size=64k") != 0)
            return failed("mount on " + m);
    }
    for (const std::string &b : setup.busy) {
        int fd = open(host(b + "/held").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return failed("open a file on " + b);
        held.push_back(fd);
    }
    return "";
}

// Runs in the run's own process: after this, / is the sandbox tree. Returns
// the files held open on the busy mounts.
std::vector<int> Sandbox::enter(const Setup &setup) const
{
    std::vector<int> held;
    std::string err = enter_namespace();
    if (err.empty())
        err = mount_tree();
    if (err.empty())
        err = mount_sticks(setup, held);
    if (err.empty() && (chroot(root_.c_str()) != 0 || chdir("/") != 0))
        err = failed("chroot " + root_);
    // Never go on outside the tree: what runs next acts on fixed paths.
    if (err.empty() && access("/.sandbox/recorder", X_OK) != 0)
        err = "not inside the sandbox tree after chroot";
    if (!err.empty()) {
        fprintf(stderr, "sandbox: %s\n", err.c_str());
        _exit(4);
    }
    return held;
}

// Starts command i of the run, through the runner if it is a target's.
void Sandbox::start_command(const Command &c, size_t i, int run, int fd) const
{
    std::vector<std::string> argv = c.argv;
    if (c.target && !options_.runner.empty()) {
        argv.insert(argv.begin(), options_.runner.begin(), options_.runner.end());
        argv[0] = "/.sandbox/runner";
    }
    std::vector<char *> args = pointers(argv), env = pointers(c.env);
    std::string out = output_path(run, i);
    pid_t pid = fork();
    if (pid == 0) {
        umask(022); // as the kernel starts a helper
        set_fds(c, out);
        if ((c.fork_fails && !forbid_fork()) || (c.no_medium && !forbid_medium()))
            _exit(125);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    report(fd, Step::command, {(long long)i, pid});
}

Result Sandbox::run(const Command &command, const Setup &setup)
{
    return run(std::vector<Command>{command}, setup);
}

// In the run's manager process: enters the sandbox, starts the commands
// and reaps every process of the run, reporting each step on fd.
void Sandbox::supervise(const std::vector<Command> &commands, const Setup &setup, int run, int fd) const
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    alarm(setup.timeout_s);
    std::vector<int> held = enter(setup);

    int64_t start = now_ns();
    report(fd, Step::start, {start});
    start_later(setup.later, start, fd);
    for (size_t i = 0; i < commands.size(); i++)
        start_command(commands[i], i, run, fd);
    reap_all(fd);
    // Asked while the busy files are still open: a detached mount is gone
    // from its directory even though its file system lives on.
    for (const std::string &m : mounts_of(setup))
        if (mount_point(m))
            report(fd, Step::mounted, {}, m);
    for (int h : held)
        close(h);
    _exit(0);
}

Result Sandbox::run(const std::vector<Command> &commands, const Setup &setup)
{
    Result r;
    if (!ok()) {
        r.error = error_;
        return r;
    }
    fflush(nullptr); // the run's processes must not write our buffers again
    int run = ++runs_, p[2] = {-1, -1};
    pid_t manager = pipe2(p, O_CLOEXEC) == 0 ? fork() : -1;
    if (manager == 0) {
        close(p[0]);
        supervise(commands, setup, run, p[1]);
    }
    close(p[1]);
    if (manager < 0) {
        r.error = failed("start of the run");
        close(p[0]);
        return r;
    }
    std::string text = read_fd(p[0]);
    close(p[0]);
    int st = 0;
    waitpid(manager, &st, 0);

    std::vector<int> pids(commands.size(), 0);
    read_reports(text, pids, r);
    for (size_t i = 0; i < commands.size(); i++)
        r.output.push_back(read_file(host(output_path(run, i))));
    r.error = run_error(st, pids);
    r.ok = r.error.empty();
    return r;
}

std::vector<Record> Sandbox::records() const
{
    // A cut last line is not a record.
    std::vector<Record> out;
    std::string text = read_file(host("/.sandbox/log"));
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
        if (Record r; parse_record(text.substr(pos, end - pos), r))
            out.push_back(r);
    return out;
}

void Sandbox::clear_records()
{
    truncate(host("/.sandbox/log").c_str(), 0);
}

} // namespace sandbox

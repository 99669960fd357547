// SPDX-License-Identifier: MIT
// Stands in for /bin/mount, /bin/umount, /sbin/modprobe and the gadget scripts
// inside the sandbox: appends one line with its argument vector, its whole
// environment and the state of its descriptors 0 to 2 to /.sandbox/log.
// At /bin/umount it then unmounts as umount -f does, which fails on a busy
// mount. With /.sandbox/hold holding a number of milliseconds, it then
// sleeps that long.
#include "record.hpp"
#include "util.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

extern char **environ;

namespace {

const char *fd_state(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return "closed";
    if (S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3)
        return "null";
    struct stat kmsg;
    if (stat(sandbox::kmsg_path, &kmsg) == 0 && kmsg.st_dev == st.st_dev && kmsg.st_ino == st.st_ino)
        return "kmsg";
    return "other";
}

void field(std::string &line, const char *key, const std::string &value)
{
    line += '\t';
    line += key;
    line += '=';
    line += sandbox::escape(value);
}

void hold()
{
    FILE *f = fopen("/.sandbox/hold", "r");
    if (!f)
        return;
    long ms = 0;
    if (fscanf(f, "%ld", &ms) != 1)
        ms = 0;
    fclose(f);
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&ts, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    // Look at 0 to 2 before opening anything: the log would take a free one.
    std::string line = "pid=" + std::to_string(getpid());
    line += "\tppid=" + std::to_string(getppid());
    line += "\tt=" + std::to_string(sandbox::now_ns());
    for (int fd = 0; fd <= 2; fd++)
        field(line, ("fd" + std::to_string(fd)).c_str(), fd_state(fd));
    for (int i = 0; i < argc; i++)
        field(line, "arg", argv[i]);
    for (char **e = environ; *e; e++)
        field(line, "env", *e);
    line += '\n';

    int log = open("/.sandbox/log", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (log < 0)
        return 2;
    // One write per record keeps records of concurrent recorders whole.
    if (write(log, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return 2;
    close(log);
    if (argc == 3 && strcmp(argv[0], umount_program) == 0 && strcmp(argv[1], "-f") == 0)
        umount2(argv[2], MNT_FORCE);
    hold();
    return 0;
}

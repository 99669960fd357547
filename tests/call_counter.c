// SPDX-License-Identifier: MIT
/* Preloaded into the dynamically linked agent by the node-wait tests: logs
 * every access() and usleep() call to /.sandbox/calls, then makes it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void note(const char *line)
{
    int fd = open("/.sandbox/calls", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, strlen(line)) < 0) {
    }
    close(fd);
}

int access(const char *path, int mode)
{
    int (*real)(const char *, int) = (int (*)(const char *, int))dlsym(RTLD_NEXT, "access");
    int rc = real(path, mode);
    char line[256];
    snprintf(line, sizeof line, "access %s %d\n", path, rc);
    note(line);
    return rc;
}

int usleep(useconds_t us)
{
    int (*real)(useconds_t) = (int (*)(useconds_t))dlsym(RTLD_NEXT, "usleep");
    char line[64];
    snprintf(line, sizeof line, "usleep %u\n", (unsigned)us);
    note(line);
    return real(us);
}

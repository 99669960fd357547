// SPDX-License-Identifier: MIT
// The guest's half of bench/board_bench.py: sets off uevents and tells when the
// helpers that the kernel starts for them are done. Every exiting process
// leaves a process accounting record, so a helper has finished when its
// record is there; the kernel's uevent sequence number says how many to
// wait for.
//
// usage: board-probe burst N UEVENT_FILE COMM   N "change" events on one device
//        board-probe coldplug COMM              "add" to every uevent file under /sys/devices
//        board-probe mounted|gone DIR DISK      from DISK's arrival (departure) until
//                                               DIR is a vfat mount (is gone)
//        board-probe write DIR SIZE COUNT       COUNT files of SIZE bytes written
//                                               in DIR, 64 KiB at a time, each closed
// burst and coldplug print "EVENTS MICROSECONDS": from the first write until
// the last helper called COMM has exited; write prints "FILES MICROSECONDS"
// from the first open to the last close; mounted and gone print WAITING
// when they start and "DONE MICROSECONDS" at the end.
#include <fcntl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// The kernel's version 2 accounting record: 64 bytes, the command at 36.
constexpr int record_size = 64;
constexpr int comm_at = 36;
constexpr int comm_size = 16;
constexpr int64_t give_up_us = 300 * 1000000LL;
constexpr int64_t wait_us = 30 * 1000000LL;

const char accounting[] = "/tmp/acct";

int64_t now_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

bool write_text(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, text, strlen(text)) == ssize_t(strlen(text));
    close(fd);
    return ok;
}

long seqnum()
{
    char buf[32] = {};
    int fd = open("/sys/kernel/uevent_seqnum", O_RDONLY);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 ? atol(buf) : -1;
}

// Starts accounting into a fresh file; the descriptor reads its records.
int start_accounting()
{
    int fd = open(accounting, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || acct(accounting) != 0) {
        perror("board-probe: process accounting");
        exit(1);
    }
    return fd;
}

// Waits until want helpers called comm have exited; when the last did.
int64_t wait_exits(int fd, const char *comm, long want)
{
    char record[record_size];
    off_t at = 0;
    long seen = 0;
    int64_t end = now_us() + give_up_us;
    while (seen < want) {
        if (pread(fd, record, record_size, at) == record_size) {
            at += record_size;
            seen += strncmp(record + comm_at, comm, comm_size) == 0;
            continue;
        }
        if (now_us() > end) {
            fprintf(stderr, "board-probe: %ld of %ld %s helpers seen\n", seen, want, comm);
            exit(1);
        }
        usleep(1000);
    }
    return now_us();
}

void report(int fd, const char *comm, long seq0, int64_t start)
{
    long events = seqnum() - seq0;
    int64_t end = wait_exits(fd, comm, events);
    acct(nullptr);
    printf("%ld %lld\n", events, static_cast<long long>(end - start));
}

int burst(long n, const char *uevent, const char *comm)
{
    int fd = start_accounting();
    long seq0 = seqnum();
    int64_t start = now_us();
    for (long i = 0; i < n; i++)
        if (!write_text(uevent, "change")) {
            perror(uevent);
            return 1;
        }
    report(fd, comm, seq0, start);
    return 0;
}

int add_event(const char *path, const struct stat *, int type, struct FTW *f)
{
    if (type == FTW_F && strcmp(path + f->base, "uevent") == 0)
        write_text(path, "add");
    return 0;
}

int coldplug(const char *comm)
{
    int fd = start_accounting();
    long seq0 = seqnum();
    int64_t start = now_us();
    nftw("/sys/devices", add_event, 32, FTW_PHYS);
    report(fd, comm, seq0, start);
    return 0;
}

bool is_mounted(const char *dir)
{
    char want[128], line[512];
    snprintf(want, sizeof want, " %s vfat ", dir);
    FILE *f = fopen("/proc/mounts", "r");
    bool found = false;
    while (f && !found && fgets(line, sizeof line, f))
        found = strstr(line, want) != nullptr;
    if (f)
        fclose(f);
    return found;
}

// From the disk's arrival (or departure) in sysfs until DIR is mounted (or
// gone): the part of a plug cycle that follows the kernel's own.
int wait_for(bool mounted, const char *dir, const char *disk)
{
    char sys[128];
    snprintf(sys, sizeof sys, "/sys/block/%s", disk);
    printf("WAITING\n");
    fflush(stdout);
    int64_t end = now_us() + wait_us, start = 0;
    while (!start || (mounted ? !is_mounted(dir) : is_mounted(dir) || access(dir, F_OK) == 0)) {
        if (!start && (access(sys, F_OK) == 0) == mounted)
            start = now_us();
        if (now_us() > end) {
            printf("TIMEOUT\n");
            return 1;
        }
        usleep(10000); // the board has one CPU, and the helper needs it
    }
    printf("DONE %lld\n", static_cast<long long>(now_us() - start));
    return 0;
}

// What a program saving files pays, the closes included: on a mount with
// flush each close starts the writes and pauses.
int write_files(const char *dir, long size, long count)
{
    static char block[65536];
    memset(block, 'x', sizeof block);
    int64_t start = now_us();
    for (long i = 0; i < count; i++) {
        char path[256];
        snprintf(path, sizeof path, "%s/F%ld.BIN", dir, i);
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        long left = size;
        while (fd >= 0 && left > 0) {
            ssize_t n = write(fd, block, left < long(sizeof block) ? left : long(sizeof block));
            if (n <= 0)
                break;
            left -= n;
        }
        if (fd < 0 || left > 0 || close(fd) != 0) {
            perror(path);
            return 1;
        }
    }
    printf("%ld %lld\n", count, static_cast<long long>(now_us() - start));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && strcmp(argv[1], "burst") == 0)
        return burst(atol(argv[2]), argv[3], argv[4]);
    if (argc == 3 && strcmp(argv[1], "coldplug") == 0)
        return coldplug(argv[2]);
    if (argc == 4 && (strcmp(argv[1], "mounted") == 0 || strcmp(argv[1], "gone") == 0))
        return wait_for(strcmp(argv[1], "mounted") == 0, argv[2], argv[3]);
    if (argc == 5 && strcmp(argv[1], "write") == 0)
        return write_files(argv[2], atol(argv[3]), atol(argv[4]));
    fprintf(stderr, "usage: board-probe burst N UEVENT COMM | coldplug COMM | mounted|gone DIR DISK | "
                    "write DIR SIZE COUNT\n");
    return 2;
}

#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What each hotplug event costs on an emulated board, under its real kernel:
a burst of ignored events, a coldplug, a stick's plug and pull, and saving
on the stick, for the device binary, the agent static on glibc, busybox mdev
and a no-op, each the board's uevent helper in turn. docs/performance.md
says what each figure is and how the board's clock makes them repeat.
Figures only; it fails only when it cannot measure.

usage: bench/board_bench.py --build ARM_BUILD_DIR --probe BOARD_PROBE --glibc AGENT --floor NOOP
                   [--board virt|versatilepb|orangepi] [--burst N] [--runs N]
The ARM build runs it with its own outputs: cmake --build build/arm --target board-bench-virt.
"""

import argparse
import collections
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness", "board"))
import board as board_lib  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

Helper = collections.namedtuple("Helper", "label path comm mounts")  # path in the guest, process name
DEVICE = Helper("device binary", "/sbin/hotplug", "hotplug", True)
GLIBC = Helper("agent, glibc static", "/sbin/hotplug-glibc", "hotplug-glibc", True)
MDEV = Helper("busybox mdev", "/sbin/mdev", "mdev", True)
FLOOR = Helper("no-op, musl static", "/sbin/noop", "noop", False)
HELPERS = [DEVICE, GLIBC, MDEV, FLOOR]

# One helper's figures: microseconds per event in the burst and the
# coldplug, the events counted, and the stick's plug and unplug seconds.
Row = collections.namedtuple("Row", "cpu burst_us cold_us burst_events cold_events plug_s unplug_s writes")

# What a program saves on the stick: (what, bytes per file, files), each file closed.
WRITES = (("one 4 MiB file", 4 * 1024 * 1024, 1), ("100 files of 4 KiB", 4096, 100))


def probe(b, command, timeout=600):
    """board-probe's "EVENTS MICROSECONDS" for one measurement."""
    st, out = b.sh("/sbin/board-probe " + command, timeout)
    fields = out.split()
    if st != 0 or len(fields) != 2:
        raise RuntimeError("board-probe %s: %r" % (command, out))
    return int(fields[0]), int(fields[1])


def median(samples):
    """The (events, microseconds) sample of median time per event."""
    return sorted(samples, key=lambda s: s[1] / s[0])[len(samples) // 2]


def stopwatch(b, what, act):
    """Seconds, in the guest, from the disk's arrival or departure until
    board-probe sees WHAT ("mounted /mnt/sda1 sda"), after act()."""
    _, end = b.start("/sbin/board-probe " + what)
    b.read_until(rb"WAITING", 20)
    act()
    m = b.read_until(rb"DONE (\d+)|TIMEOUT", 60)
    b.read_until(end.encode() + rb"(\d+)>>", 20)
    if not m.group(1):
        raise RuntimeError("not %s within 30 s:\n%s" % (what, b.sh("dmesg | tail -20; cat /proc/mounts")[1]))
    return int(m.group(1)) / 1e6


def write_seconds(b, runs):
    """Seconds to write and close each of WRITES on /mnt/sda1, median of runs;
    each run starts with nothing left to write."""
    seconds = []
    for _, size, count in WRITES:
        samples = []
        for _ in range(runs):
            samples.append(probe(b, "write /mnt/sda1 %d %d" % (size, count))[1] / 1e6)
            b.sh("rm -f /mnt/sda1/F*.BIN; sync")
        seconds.append(sorted(samples)[runs // 2])
    return seconds


def writes(b, stick, runs):
    """WRITES's seconds on the stick as the kernel mounts it by default and as
    the agent mounts it, with flush."""
    b.plug("stick", stick)
    if b.wait_for(board_lib.mounted("/mnt/sda1") + " && grep -q ' /mnt/sda1 .*flush' /proc/mounts", 30) is None:
        raise RuntimeError("the stick was not mounted with flush")
    flush = write_seconds(b, runs)
    b.sh("umount /mnt/sda1 && mount -t vfat /dev/sda1 /mnt/sda1")
    default = write_seconds(b, runs)
    b.pull("stick")
    return list(zip(default, flush))


def one_core(opts):
    """The kernel's argument that keeps it on one core where the board has
    more: under qemu's instruction counter (qemu 7.2) a board's SMP boot
    hangs before its console is up."""
    counted = "-icount" in opts.qemu.split()
    return "maxcpus=1" if counted and board_lib.BOARDS[opts.board].cores > 1 else ""


def measure(opts, cache, initrd, work, helper, stick):
    """Boots a board with helper as the uevent helper and measures it."""
    print("board: %s on %s" % (helper.label, opts.board), flush=True)
    with board_lib.running(opts.board, cache, initrd, work, "board", qemu_args=opts.qemu.split(),
                           append=one_core(opts)) as b:
        cpu = b.cpu()
        b.sh("echo %s > /proc/sys/kernel/hotplug" % helper.path)
        # The stick first, on a fresh board: after thousands of events busybox
        # mdev was seen not to mount it at all.
        plug = unplug = None
        if helper.mounts:
            plug = stopwatch(b, "mounted /mnt/sda1 sda", lambda: b.plug("stick", stick))
            unplug = stopwatch(b, "gone /mnt/sda1 sda", lambda: b.qmp_call("device_del", id="stick"))
            b.forget("stick")
        # A warm-up, then the median of some bursts: one burst varies by a
        # third from boot to boot, with the emulator's own hiccups.
        command = "burst %d /sys/devices/virtual/mem/null/uevent %s" % (opts.burst, helper.comm)
        probe(b, command)
        burst = median([probe(b, command) for _ in range(opts.runs)])
        cold = median([probe(b, "coldplug " + helper.comm) for _ in range(opts.runs)])
        # Last, so that the writes' aftermath weighs on no event's figures.
        saving = writes(b, stick, opts.runs) if helper is DEVICE else None
        return Row(cpu, burst[1] / burst[0], cold[1] / cold[0], burst[0], cold[0], plug, unplug, saving)


def initramfs(opts, cache, work):
    """The system test's initramfs with the helpers, board-probe and mdev's rule."""
    extra = [("/sbin/board-probe", opts.probe, 0o755),
             (GLIBC.path, opts.glibc, 0o755),
             (FLOOR.path, opts.floor, 0o755),
             (MDEV.path, os.path.join(cache, "busybox-" + opts.board, "bin", "busybox"), 0o755),
             ("/etc/mdev.conf", os.path.join(HERE, "mdev.conf"), 0o644),
             ("/etc/mdev/automount.sh", os.path.join(HERE, "automount.sh"), 0o755)]
    return board_lib.make_initramfs(opts.board, opts.build, cache, work, extra)


def report(opts, rows):
    floor, device, mdev = rows[FLOOR], rows[DEVICE], rows[MDEV]
    cpu = device.cpu
    if one_core(opts):
        cpu += ", one of its %d cores: the instruction counter hangs its SMP boot" % board_lib.BOARDS[opts.board].cores
    print("board %s, CPU: %s" % (opts.board, cpu))
    # The device binary's name says how the build linked it: musl, static or dynamic.
    with open(os.path.join(opts.build, "CMakeCache.txt")) as f:
        linkage = next((line.split("=", 1)[1].strip() for line in f if line.startswith("HOTPLUG_LINKAGE:")), "?")
    print("%-22s %12s %8s %12s %8s %8s %8s" % ("helper", "burst us/ev", "x floor", "coldplug us",
                                              "x floor", "plug s", "unplug s"))
    for helper in HELPERS:
        r = rows[helper]
        plug = "%8.2f %8.2f" % (r.plug_s, r.unplug_s) if r.plug_s is not None else "%8s %8s" % ("-", "-")
        name = helper.label + (", " + linkage if helper is DEVICE else "")
        print("%-22s %12.0f %7.2fx %12.0f %7.2fx %s" % (name, r.burst_us, r.burst_us / floor.burst_us,
                                                      r.cold_us, r.cold_us / floor.cold_us, plug))
    print("burst: %d events; coldplug: %d events; per event from the first write to the last helper's exit,"
          " median of %d" % (device.burst_events, device.cold_events, opts.runs))
    print("writing on the stick, each file closed, median of %d:  %10s %10s" % (opts.runs, "default s", "flush s"))
    for (what, _, _), (default, flush) in zip(WRITES, device.writes):
        print("  %-44s %10.2f %10.2f" % (what, default, flush))
    met = lambda ok: "met" if ok else "NOT met"
    print("target: device binary within 1.15x the floor per event in the burst: %s"
          % met(device.burst_us <= 1.15 * floor.burst_us))
    print("target: device binary below mdev per event, burst and coldplug: %s"
          % met(device.burst_us < mdev.burst_us and device.cold_us < mdev.cold_us))


def main():
    ap = argparse.ArgumentParser(description="Per-event cost of each helper on an emulated board.")
    ap.add_argument("--build", required=True, help="the ARM build tree, whose install is the device binary")
    ap.add_argument("--probe", required=True, help="board-probe, built for the board")
    ap.add_argument("--glibc", required=True, help="the agent linked static on glibc")
    ap.add_argument("--floor", required=True, help="the static musl no-op")
    ap.add_argument("--board", choices=sorted(board_lib.BOARDS), default="virt")
    ap.add_argument("--burst", type=int, default=500)
    ap.add_argument("--qemu", default="-icount shift=0,sleep=off",
                    help="qemu-system-arm's clock (default: one guest instruction per nanosecond)")
    ap.add_argument("--runs", type=int, default=5, help="bursts and coldplugs per helper, median taken")
    opts = ap.parse_args()
    with board_lib.workspace(opts.board, "board") as (cache, work):
        initrd = initramfs(opts, cache, work)
        stick = os.path.join(work, "stick.img")
        board_lib.make_stick(stick, "STICK", ["hello\n"])
        rows = {helper: measure(opts, cache, initrd, work, helper, stick) for helper in HELPERS}
    report(opts, rows)


if __name__ == "__main__":
    main()

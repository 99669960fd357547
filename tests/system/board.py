#!/usr/bin/env python3
"""Boots an ARM test board and runs the system checks through its serial
console (commands) and QMP (plugging and unplugging USB sticks)."""

import argparse
import json
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import time

MIB = 1024 * 1024

# qemu's machine arguments for each board, and the USB host its sticks go on.
BOARDS = {
    "virt": (["-M", "virt,highmem=off", "-cpu", "cortex-a15"], "qemu-xhci"),
    "versatilepb": (["-M", "versatilepb"], "pci-ohci"),
}

# What /proc/cpuinfo's "CPU part" is, where its model name is only "ARMv7 Processor".
CPU_PARTS = {"0x926": "ARM926EJ-S", "0xb76": "ARM1176", "0xc07": "Cortex-A7", "0xc09": "Cortex-A9",
             "0xc0f": "Cortex-A15"}


HERE = os.path.dirname(os.path.abspath(__file__))


def make_initramfs(board, build, cache, work, extra=()):
    """The guest's root: what the ARM build's cmake --install makes, the
    board's busybox, the start-up files and recording gadget scripts, and
    any extra (guest path, host file, mode) triples. Returns its path."""
    root = os.path.join(work, "root")
    env = dict(os.environ, DESTDIR=root)
    subprocess.run(["cmake", "--install", build, "--prefix", "/"], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "proc", "sys", "dev", "mnt", "tmp", "etc/quorvane",
              "lib/modules"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    files = [("/bin/busybox", os.path.join(cache, "busybox-" + board, "bin", "busybox"), 0o755),
             ("/etc/rc", os.path.join(HERE, "rc"), 0o755),
             ("/etc/console", os.path.join(HERE, "console"), 0o755),
             ("/etc/inittab", os.path.join(HERE, "inittab"), 0o644),
             ("/etc/quorvane/gadget.sh", os.path.join(HERE, "gadget-script"), 0o755),
             ("/etc/quorvane/ugadget.sh", os.path.join(HERE, "gadget-script"), 0o755),
             ("/lib/modules/dummy_hcd.ko", os.path.join(cache, "kernel-" + board, "dummy_hcd.ko"), 0o644)]
    for inside, host, mode in files + list(extra):
        dst = os.path.join(root, inside.lstrip("/"))
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(host, dst)
        os.chmod(dst, mode)
    os.symlink("busybox", os.path.join(root, "bin", "sh"))
    os.symlink("bin/busybox", os.path.join(root, "init"))
    image = os.path.join(work, "initramfs.gz")
    with open(image, "wb") as out:
        names = subprocess.run(["find", "."], cwd=root, check=True, capture_output=True).stdout
        cpio = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=names, check=True,
                              capture_output=True).stdout
        out.write(subprocess.run(["gzip", "-1"], input=cpio, check=True, capture_output=True).stdout)
    return image


def make_stick(path, label, contents):
    """An MBR disk of 16 MiB with one FAT partition from 1 MiB for each text
    in contents, each holding that text as HELLO.TXT."""
    size = 16 * MIB
    first, each = 2048, (size // 512 - 2048) // len(contents)
    with open(path, "wb") as f:
        f.truncate(size)
        for i in range(len(contents)):
            f.seek(446 + 16 * i)
            f.write(struct.pack("<B3sB3sII", 0, b"\0\0\0", 0x0E, b"\0\0\0", first + i * each, each))
        f.seek(510)
        f.write(b"\x55\xaa")
    for i, content in enumerate(contents):
        offset = (first + i * each) * 512
        subprocess.run(["mkfs.vfat", "-n", "%s%d" % (label, i + 1), "--offset", str(first + i * each),
                        path, str(each // 2)], check=True, capture_output=True)
        write_hello(path, content, offset)


def write_hello(path, content, offset=MIB):
    """HELLO.TXT with content on the partition at offset of a stick image."""
    text = path + ".hello"
    with open(text, "w") as f:
        f.write(content)
    subprocess.run(["mcopy", "-o", "-i", "%s@@%d" % (path, offset), text, "::HELLO.TXT"], check=True)
    os.unlink(text)


class Board:
    def __init__(self, board, cache, initrd, work, qemu_args=()):
        self.qmp_path = os.path.join(work, "qmp.sock")
        machine, usb = BOARDS[board]
        kernel = os.path.join(cache, "kernel-" + board, "zImage")
        dtb = os.path.join(cache, "kernel-" + board, "board.dtb")
        if os.path.exists(dtb):
            machine = machine + ["-dtb", dtb]
        self.proc = subprocess.Popen(
            ["qemu-system-arm"] + machine + list(qemu_args) + ["-m", "256",
             "-nographic", "-no-reboot", "-monitor", "none", "-serial", "stdio",
             "-kernel", kernel, "-initrd", initrd,
             "-append", "console=ttyAMA0 rdinit=/init panic=-1 " + os.environ.get("HOTPLUG_SYSTEM_APPEND", "quiet"),
             "-device", usb + ",id=usb",
             "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.buf = b""
        self.serial_log = open(os.path.join(work, "serial.log"), "wb")
        self.marker = 0
        self.events = []

    def read_until(self, pattern, timeout):
        end = time.time() + timeout
        rx = re.compile(pattern, re.S)
        while True:
            m = rx.search(self.buf)
            if m:
                self.buf = self.buf[m.end():]
                return m
            left = end - time.time()
            if left <= 0 or self.proc.poll() is not None:
                raise TimeoutError("no %r on the console; last: %r" % (pattern, self.buf[-300:]))
            r, _, _ = select.select([self.proc.stdout], [], [], min(left, 0.5))
            if r:
                data = os.read(self.proc.stdout.fileno(), 65536)
                self.serial_log.write(data)
                self.buf += data

    def boot(self):
        start = time.time()
        self.read_until(rb"GUEST-READY", 60)
        self.boot_s = time.time() - start
        self.qmp = socket.socket(socket.AF_UNIX)
        self.qmp.connect(self.qmp_path)
        self.qmp_file = self.qmp.makefile("rwb")
        self.qmp_read()
        self.qmp_call("qmp_capabilities")

    def sh(self, command, timeout=20):
        """Runs a command in the guest shell; returns (status, output)."""
        return self.finish(self.start(command), timeout)

    def start(self, command):
        """Starts a command in the guest shell; finish() waits for it."""
        self.marker += 1
        begin, end = "<<B%d>>" % self.marker, "<<E%d:" % self.marker
        line = "echo '%s'; %s; echo '%s'$?'>>'\n" % (begin, command, end)
        self.proc.stdin.write(line.encode())
        self.proc.stdin.flush()
        return begin, end

    def finish(self, markers, timeout=20):
        begin, end = markers
        m = self.read_until(re.escape(begin.encode()) + rb"\r?\n(.*?)" + re.escape(end.encode())
                            + rb"(\d+)>>", timeout)
        return int(m.group(2)), m.group(1).decode(errors="replace").replace("\r", "")

    def qmp_read(self):
        while True:
            msg = json.loads(self.qmp_file.readline())
            if "event" in msg:
                self.events.append(msg)
                continue
            return msg

    def qmp_call(self, name, **args):
        self.qmp_file.write(json.dumps({"execute": name, "arguments": args}).encode() + b"\n")
        self.qmp_file.flush()
        msg = self.qmp_read()
        if "error" in msg:
            raise RuntimeError("%s: %s" % (name, msg["error"]))
        return msg.get("return")

    def plug(self, name, image):
        self.qmp_call("blockdev-add", driver="raw", **{"node-name": name},
                      file={"driver": "file", "filename": image})
        self.qmp_call("device_add", driver="usb-storage", id=name, drive=name, bus="usb.0")

    def unplug(self, *names, timeout=20):
        """Pulls the sticks at once and waits until each is gone."""
        for name in names:
            self.qmp_call("device_del", id=name)
        for name in names:
            self.forget(name, timeout)

    def forget(self, name, timeout=20):
        """Waits for an unplugged stick to be gone and drops its image."""
        end = time.time() + timeout
        while not any(e["event"] == "DEVICE_DELETED" and e.get("data", {}).get("device") == name
                      for e in self.events):
            if time.time() > end:
                raise TimeoutError("%s was not deleted" % name)
            self.qmp.settimeout(max(0.1, end - time.time()))
            try:
                self.events.append(json.loads(self.qmp_file.readline()))
            except (socket.timeout, ValueError):
                pass
            self.qmp.settimeout(None)
        self.events = [e for e in self.events if e.get("data", {}).get("device") != name]
        self.qmp_call("blockdev-del", **{"node-name": name})

    def wait_for(self, command, timeout):
        """Repeats a guest command until it succeeds; seconds taken, or None."""
        start = time.time()
        while time.time() - start < timeout:
            if self.sh(command)[0] == 0:
                return time.time() - start
            time.sleep(0.1)
        return None

    def cpu(self):
        """The guest's CPU as /proc/cpuinfo names it, and its part where that is vague."""
        info = self.sh("cat /proc/cpuinfo")[1]
        name = re.search(r"^(?:model name|Processor)\s*:\s*(.*)$", info, re.M)
        part = re.search(r"^CPU part\s*:\s*(\S+)$", info, re.M)
        text = name.group(1) if name else "unknown"
        if part and CPU_PARTS.get(part.group(1)) and CPU_PARTS[part.group(1)] not in text:
            text += ", part %s: %s" % (part.group(1), CPU_PARTS[part.group(1)])
        return text

    def stop(self):
        self.proc.kill()
        self.proc.wait()

    def serial_tail(self, lines):
        """The last lines the board wrote on its serial console."""
        self.serial_log.flush()
        with open(self.serial_log.name, "rb") as f:
            return f.read().decode(errors="replace").splitlines()[-lines:]


def mounted(dir):
    return "grep -q ' %s vfat ' /proc/mounts" % dir


def gone(dir):
    return "! grep -q ' %s ' /proc/mounts && [ ! -e %s ]" % (dir, dir)


# Nothing under /mnt, nothing mounted there, and no agent or mount still at work.
IDLE = "[ -z \"$(ls -A /mnt)\" ] && ! grep -q ' /mnt' /proc/mounts && ! pidof hotplug mount umount >/dev/null"


def after(t, limit):
    return "after %.2f s" % t if t is not None else "not within %d s" % limit


def plug_and_unplug(board, sticks, check):
    board.plug("stick1", sticks["stick1"])
    t = board.wait_for(mounted("/mnt/sda1"), 15)
    check("plug: /mnt/sda1 mounted", t is not None, after(t, 15))
    st, out = board.sh("cat /mnt/sda1/HELLO.TXT")
    check("plug: file reads back", st == 0 and out == "hello from stick1\n", repr(out))
    check("plug: no /mnt/sda for the whole disk", board.sh("[ ! -e /mnt/sda ]")[0] == 0)
    board.unplug("stick1")
    t = board.wait_for(gone("/mnt/sda1"), 15)
    check("unplug: /mnt/sda1 unmounted and removed", t is not None, after(t, 15))


def cycles(board, sticks, check):
    ok = True
    for cycle in range(3):
        board.plug("stick1", sticks["stick1"])
        ok &= board.wait_for(mounted("/mnt/sda1"), 15) is not None
        board.unplug("stick1")
        ok &= board.wait_for(gone("/mnt/sda1"), 15) is not None
    st, out = board.sh("ls -A /mnt; grep ' /mnt' /proc/mounts")
    check("three plug/unplug cycles leave nothing behind", ok and out == "", repr(out))


def two_sticks(board, sticks, check):
    """One stick of one partition and one of two, plugged and pulled together."""
    board.plug("stick1", sticks["stick1"])
    board.plug("twin", sticks["twin"])
    want = ["hello from stick1", "hello from twin 1", "hello from twin 2"]
    three = "[ $(grep -c ' /mnt/sd[ab][12] vfat ' /proc/mounts) = 3 ]"
    t = board.wait_for(three, 20)
    st, out = board.sh("cat /mnt/sd*/HELLO.TXT")
    ok = t is not None and sorted(out.splitlines()) == want
    if not ok:
        out += board.sh("ls -l /mnt /dev/sd*; grep /mnt /proc/mounts; dmesg | tail -25")[1]
    check("two sticks at once, one of two partitions: three mounts, each reads back", ok, out)
    st, out = board.sh("ls /mnt")
    check("two sticks at once: no mount point for either whole disk",
          sorted(out.split()) in (["sda1", "sdb1", "sdb2"], ["sda1", "sda2", "sdb1"]), repr(out))
    board.unplug("stick1", "twin")
    t = board.wait_for(IDLE, 15)
    check("two sticks pulled at once: nothing mounted or left under /mnt", t is not None,
          board.sh("ls -A /mnt; grep ' /mnt' /proc/mounts")[1])


def loose_connector(board, sticks, check):
    """Pulls while the kernel is still bringing the stick up, then a clean cycle."""
    left = []
    for delay in (0.5, 1.0, 1.5, 2.0, 2.5, 3.0):
        board.plug("stick1", sticks["stick1"])
        time.sleep(delay)
        board.unplug("stick1")
        if board.wait_for(IDLE, 15) is None:
            left.append("%.1f s: %s" % (delay, board.sh("ls -A /mnt; grep ' /mnt' /proc/mounts")[1]))
    check("pulls 0.5 to 3 s after the plug leave nothing", not left, "; ".join(left))
    board.plug("stick1", sticks["stick1"])
    ok = board.wait_for(mounted("/mnt/sda1"), 15) is not None
    st, out = board.sh("cat /mnt/sda1/HELLO.TXT")
    board.unplug("stick1")
    ok &= board.wait_for(IDLE, 15) is not None
    check("after them a clean cycle mounts /mnt/sda1 and leaves nothing", ok and out == "hello from stick1\n",
          repr(out))


def busy_pull(board, sticks, check):
    """A stick pulled while a program holds a file open on it."""
    board.plug("stick1", sticks["stick1"])
    t = board.wait_for(mounted("/mnt/sda1"), 15)
    st, out = board.sh("cat /mnt/sda1/HELLO.TXT")
    if t is None or out != "hello from stick1\n":
        check("busy pull: /mnt/sda1 mounted to be held", False, after(t, 15) + ", " + repr(out))
        return
    # In a subshell, so that a failed open cannot cut the console's command line short;
    # the pull waits until the holder has the file open.
    board.sh("(exec sleep 600 < /mnt/sda1/HELLO.TXT) & echo $! > /tmp/holder")
    t = board.wait_for("readlink /proc/$(cat /tmp/holder)/fd/0 | grep -qx /mnt/sda1/HELLO.TXT", 10)
    if t is None:
        check("busy pull: a program holds /mnt/sda1/HELLO.TXT open", False,
              board.sh("ls -l /proc/$(cat /tmp/holder)/fd")[1])
        return
    start = time.time()
    board.unplug("stick1")
    t = board.wait_for(gone("/mnt/sda1"), 15)
    pulled = time.time() - start
    holding = board.sh("kill -0 $(cat /tmp/holder)")[0] == 0
    detail = ("gone %.2f s after the pull" % pulled if t is not None else
              "still there: " + board.sh("ls -A /mnt; grep ' /mnt' /proc/mounts")[1])
    check("busy pull: /mnt/sda1 leaves /proc/mounts and /mnt while the holder runs", t is not None and holding,
          detail + ("" if holding else ", and the holder is not running"))
    board.sh("kill $(cat /tmp/holder); wait")
    t = board.wait_for(IDLE, 15)
    check("busy pull: nothing left after the holder quits", t is not None,
          board.sh("ls -A /mnt; grep ' /mnt' /proc/mounts")[1])
    # A dead mount left on /mnt/sda1 would still read back from its cache,
    # so the stick comes back written to, as by another machine.
    write_hello(sticks["stick1"], "written elsewhere\n")
    board.plug("stick1", sticks["stick1"])
    t = board.wait_for(mounted("/mnt/sda1"), 15)
    st, out = board.sh("cat /mnt/sda1/HELLO.TXT; ls -A /mnt; grep ' /mnt' /proc/mounts | cut -d' ' -f1-3")
    check("busy pull: the stick plugged again mounts as /mnt/sda1", t is not None and
          out == "written elsewhere\nsda1\n/dev/sda1 /mnt/sda1 vfat\n", repr(out))
    board.unplug("stick1")
    board.wait_for(IDLE, 15)


def gadget(board, sticks, check):
    board.sh("insmod /lib/modules/dummy_hcd.ko")
    board.wait_for("grep -q gadget.sh /tmp/gadget.log", 10)
    st, out = board.sh("cat /tmp/gadget.log")
    expect = ("/etc/quorvane/gadget.sh args=0 ACTION=add "
              "DEVPATH=/devices/platform/dummy_udc.0/gadget.0 fds=/dev/null /dev/null /dev/null")
    check("gadget add runs gadget.sh, fds 0-2 on /dev/null", expect in out.splitlines(), repr(out))
    board.sh("rmmod dummy_hcd")
    t = board.wait_for("grep -q ugadget.sh /tmp/gadget.log", 10)
    st, out = board.sh("grep ugadget.sh /tmp/gadget.log")
    check("gadget remove runs ugadget.sh", t is not None and "ACTION=remove" in out, repr(out))


CHECKS = (plug_and_unplug, cycles, two_sticks, loose_connector, busy_pull, gadget)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--board", choices=sorted(BOARDS), default="virt")
    ap.add_argument("--build", required=True)
    ap.add_argument("--cache", required=True)
    ap.add_argument("--work", required=True)
    opts = ap.parse_args()
    initrd = make_initramfs(opts.board, opts.build, opts.cache, opts.work)

    sticks = {}
    for name, contents in (("stick1", ["hello from stick1\n"]),
                           ("twin", ["hello from twin 1\n", "hello from twin 2\n"])):
        sticks[name] = os.path.join(opts.work, name + ".img")
        make_stick(sticks[name], name.upper(), contents)

    results = []

    def check(what, ok, detail=""):
        results.append(ok)
        print("system: %s %s%s" % ("PASS" if ok else "FAIL", what, (": " + detail) if detail else ""),
              flush=True)

    board = Board(opts.board, opts.cache, initrd, opts.work)
    total_start = time.time()
    try:
        board.boot()
        print("system: %s booted to a shell in %.2f s, CPU: %s" % (opts.board, board.boot_s, board.cpu()),
              flush=True)
        for run in CHECKS:
            run(board, sticks, check)
    except Exception as e:  # a hung or dead board fails the run, with what it said
        check("board ran to the end", False, str(e))
    finally:
        board.stop()
        if not all(results):
            print("system: the serial console's last lines:\n  " + "\n  ".join(board.serial_tail(40)))

    print("system: whole test took %.1f s" % (time.time() - total_start))
    passed = sum(1 for r in results if r)
    print("%d passed, %d failed" % (passed, len(results) - passed))
    sys.exit(0 if passed == len(results) else 1)


if __name__ == "__main__":
    main()

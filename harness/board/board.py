#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""An emulated ARM test board for the system test and the board benchmark:
its kernel and userland (prepare), its initramfs, FAT stick images, and the
running board, driven through its serial console (commands) and QMP
(plugging and unplugging USB sticks)."""

import collections
import contextlib
import json
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import uuid
import zlib

MIB = 1024 * 1024

# What qemu runs for each board: its machine arguments and memory (None:
# the board's own), its CPU cores, its USB host as a device to add (None:
# the SoC's own), the USB buses of the ports people plug sticks into, the
# bus its test hubs hang on, its serial console, and its SD slot's host
# ("": the SoC's own; None: no SD test there).
Hardware = collections.namedtuple("Hardware", "machine memory cores host buses hub_bus console sd_host")
BOARDS = {
    "virt": Hardware(["-M", "virt,highmem=off", "-cpu", "cortex-a15"], "256", 1, "qemu-xhci", ("usb.0",), "usb.0",
                 "ttyAMA0", "sdhci-pci"),
    "versatilepb": Hardware(["-M", "versatilepb"], "256", 1, "pci-ohci", ("usb.0",), "usb.0", "ttyAMA0", None),
    # The H3's EHCI hosts have one port each, as the board's USB sockets do;
    # the first is shared with the OTG port. qemu's hub is a full-speed one,
    # which a real board's socket hands to its OHCI companion: the third
    # socket's OHCI, a bus of its own in qemu.
    "orangepi": Hardware(["-M", "orangepi-pc"], None, 4, None, ("usb-bus.1", "usb-bus.2"), "usb-bus.7",
                     "ttyS0,115200", ""),
}

# What /proc/cpuinfo's "CPU part" is, where its model name is only "ARMv7 Processor".
CPU_PARTS = {"0x926": "ARM926EJ-S", "0xb76": "ARM1176", "0xc07": "Cortex-A7", "0xc09": "Cortex-A9",
             "0xc0f": "Cortex-A15"}


HERE = os.path.dirname(os.path.abspath(__file__))


class Stopped(Exception):
    """The board stopped answering; the text says what was awaited and why."""


# How long a check waits for the guest to settle: a mount to come or go,
# a stick's mount point to be removed. Far above what the boards take.
SETTLE_S = 15


def mounted(dir):
    return "grep -q ' %s vfat ' /proc/mounts" % dir


def gone(dir):
    return "! grep -q ' %s ' /proc/mounts && [ ! -e %s ]" % (dir, dir)


# Nothing under /mnt, nothing mounted there, and no agent or mount still at work.
IDLE = "[ -z \"$(ls -A /mnt)\" ] && ! grep -q ' /mnt/' /proc/mounts && ! pidof hotplug mount umount >/dev/null"
# What is left under /mnt and mounted there: nothing when all went well.
LEFT = "ls -A /mnt; grep ' /mnt/' /proc/mounts"


@contextlib.contextmanager
def running(board, cache, initrd, work, label, **setup):
    """A board booted with setup (see Board), stopped when the block ends;
    if the block raised, or set the board's failed, the console's last
    lines are printed under label."""
    b = Board(board, cache, initrd, work, **setup)
    try:
        b.boot()
        yield b
    except Exception:
        b.failed = True
        raise
    finally:
        b.stop()
        if b.failed:
            print("%s: the serial console's last lines:\n  %s" % (label, "\n  ".join(b.serial_tail(40))), flush=True)


@contextlib.contextmanager
def workspace(board, label):
    """(cache, work): the cache, holding what the board boots (built or
    downloaded once per cache), and a scratch directory, removed at the end
    unless HOTPLUG_SYSTEM_KEEP is set."""
    home = os.environ.get("HOME") or "/root"
    cache = os.environ.get("HOTPLUG_SYSTEM_CACHE") or os.path.join(home, ".cache", "hotplug-system")
    subprocess.run([os.path.join(HERE, "prepare"), board, cache], check=True)
    keep = os.environ.get("HOTPLUG_SYSTEM_KEEP")
    with contextlib.nullcontext(tempfile.mkdtemp()) if keep else tempfile.TemporaryDirectory() as work:
        if keep:
            print("%s: keeping %s" % (label, work), flush=True)
        yield cache, work


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
             ("/etc/quorvane/gadget.sh", os.path.join(HERE, "gadget-script"), 0o755),
             ("/etc/quorvane/ugadget.sh", os.path.join(HERE, "gadget-script"), 0o755),
             ("/lib/modules/dummy_hcd.ko", os.path.join(cache, "kernel-" + board, "dummy_hcd.ko"), 0o644)]
    for inside, host, mode in files + list(extra):
        dst = os.path.join(root, inside.lstrip("/"))
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(host, dst)
        os.chmod(dst, mode)
    # The shell on the board's console; respawned, since a console whose
    # driver probes late (the H3's UART) is not there when init starts.
    with open(os.path.join(HERE, "inittab")) as f, open(os.path.join(root, "etc", "inittab"), "w") as out:
        out.write(f.read() + "%s::respawn:/etc/console\n" % BOARDS[board].console.split(",")[0])
    os.symlink("busybox", os.path.join(root, "bin", "sh"))
    os.symlink("bin/busybox", os.path.join(root, "init"))
    image = os.path.join(work, "initramfs.gz")
    with open(image, "wb") as out:
        names = subprocess.run(["find", "."], cwd=root, check=True, capture_output=True).stdout
        cpio = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=names, check=True,
                              capture_output=True).stdout
        out.write(subprocess.run(["gzip", "-1"], input=cpio, check=True, capture_output=True).stdout)
    return image


def make_stick(path, label, contents, table="mbr", size=16 * MIB):
    """A disk image with one FAT partition from 1 MiB for each text in
    contents, each holding that text as HELLO.TXT. table: "mbr", "gpt"
    (as macOS and the tools for large sticks make them), or None: one FAT
    over the whole disk and no partition table, as mkfs.vfat -I, USB
    floppies and some players and cameras make them."""
    with open(path, "wb") as f:
        f.truncate(size)
    if table is None:
        subprocess.run(["mkfs.vfat", "-n", "%s1" % label, path], check=True, capture_output=True)
        write_hello(path, contents[0], 0)
        return
    # GPT keeps its backup table in the last 33 sectors.
    first, each = 2048, (size // 512 - 2048 - 34) // len(contents)
    parts = [(first + i * each, each) for i in range(len(contents))]
    with open(path, "r+b") as f:
        if table == "gpt":
            write_gpt(f, size // 512, parts)
        else:
            for i, (start, n) in enumerate(parts):
                f.seek(446 + 16 * i)
                f.write(struct.pack("<B3sB3sII", 0, b"\0\0\0", 0x0E, b"\0\0\0", start, n))
            f.seek(510)
            f.write(b"\x55\xaa")
    for i, (start, n) in enumerate(parts):
        subprocess.run(["mkfs.vfat", "-n", "%s%d" % (label, i + 1), "--offset", str(start), path, str(n // 2)],
                       check=True, capture_output=True)
        write_hello(path, contents[i], start * 512)


def write_gpt(f, sectors, parts):
    """A GPT of Microsoft basic data partitions (start, sectors), its
    protective MBR and its backup at the end of the disk."""
    entries = bytearray(128 * 128)
    basic_data = uuid.UUID("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7").bytes_le
    for i, (start, n) in enumerate(parts):
        struct.pack_into("<16s16sQQQ72s", entries, 128 * i, basic_data, uuid.uuid4().bytes_le, start, start + n - 1,
                         0, ("FAT %d" % (i + 1)).encode("utf-16-le"))
    disk = uuid.uuid4().bytes_le

    def header(at, other, table):
        h = struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x10000, 92, 0, 0, at, other, 34, sectors - 34, disk,
                        table, 128, 128, zlib.crc32(entries))
        return h[:16] + struct.pack("<I", zlib.crc32(h)) + h[20:]

    f.seek(446)
    f.write(struct.pack("<B3sB3sII", 0, b"\0\x02\0", 0xEE, b"\xff\xff\xff", 1, min(sectors - 1, 0xFFFFFFFF)))
    f.seek(510)
    f.write(b"\x55\xaa" + header(1, sectors - 1, 2))
    f.seek(1024)
    f.write(entries)
    f.seek((sectors - 33) * 512)
    f.write(entries + header(sectors - 1, 1, sectors - 33))


def put_files(path, files, offset=MIB):
    """Files {name: text} on the FAT at offset of a disk image, their names
    written in UTF-8 as a desktop writes them."""
    for i, (name, content) in enumerate(files.items()):
        text = "%s.%d" % (path, i)
        with open(text, "w") as f:
            f.write(content)
        subprocess.run(["mcopy", "-o", "-i", "%s@@%d" % (path, offset), text, "::" + name], check=True,
                       env=dict(os.environ, LC_ALL="C.UTF-8"))
        os.unlink(text)


def make_unmountable(path):
    """A stick whose one partition holds no FAT: exFAT, as every SDXC card
    comes, when mkfs.exfat is at hand; otherwise a FAT with its boot sector
    zeroed. Returns what it holds."""
    make_stick(path, "BAD", ["unused\n"])
    if not shutil.which("mkfs.exfat"):
        with open(path, "r+b") as f:
            f.seek(MIB)
            f.write(bytes(512))
        return "a FAT partition with its boot sector zeroed"
    part = path + ".part"
    with open(part, "wb") as f:
        f.truncate(os.path.getsize(path) - MIB)
    subprocess.run(["mkfs.exfat", part], check=True, capture_output=True)
    with open(path, "r+b") as f, open(part, "rb") as p:
        f.seek(MIB)
        f.write(p.read())
    os.unlink(part)
    return "an exFAT partition"


def write_hello(path, content, offset=MIB):
    """HELLO.TXT with content on the partition at offset of a stick image."""
    text = path + ".hello"
    with open(text, "w") as f:
        f.write(content)
    subprocess.run(["mcopy", "-o", "-i", "%s@@%d" % (path, offset), text, "::HELLO.TXT"], check=True)
    os.unlink(text)


class Board:
    def __init__(self, board, cache, initrd, work, qemu_args=(), hubs=(), sticks=(), card=None, readers=(),
                 append=""):
        """A booting board. hubs: the ports of USB hubs there at power-on,
        outermost first, on the board's hub bus; sticks: (name, image, port)
        there at power-on; card: the image of an SD card in the board's slot
        at power-on ("" an empty slot, None no slot); readers: (name, image)
        of the USB card readers that plug_reader() can plug, each with that
        card in ("" none); append: more of the kernel's command line, which
        /etc/rc reads."""
        self.name, self.hw = board, BOARDS[board]
        self.qmp_path = os.path.join(work, "qmp.sock")
        kernel = os.path.join(cache, "kernel-" + board, "zImage")
        dtb = os.path.join(cache, "kernel-" + board, "board.dtb")
        machine = list(self.hw.machine)
        if os.path.exists(dtb):
            machine += ["-dtb", dtb]
        if self.hw.memory:
            machine += ["-m", self.hw.memory]
        devices = ["-device", self.hw.host + ",id=usb"] if self.hw.host else []
        for i, port in enumerate(hubs):
            devices += ["-device", "usb-hub,bus=%s,port=%s,id=hub%d" % (self.hw.hub_bus, port, i)]
        self.on_bus = {}
        for name, image, port in sticks:
            devices += ["-blockdev", "driver=raw,node-name=%s,file.driver=file,file.filename=%s" % (name, image),
                        "-device", ",".join("%s=%s" % kv for kv in self.stick_device(name, port).items())]
        if card is not None:
            # The card on a drive of its own, so that it can be taken out and put back.
            drive = "id=card,format=raw" + (",file=" + card if card else "")
            if self.hw.sd_host:
                devices += ["-device", self.hw.sd_host, "-device", "sd-card,drive=card", "-drive", "if=none," + drive]
            else:
                devices += ["-drive", "if=sd," + drive]
        for name, image in readers:
            # A drive of its own, named, so that its card can be put in and pulled.
            devices += ["-drive", "if=none,id=%s" % name + (",format=raw,file=" + image if image else "")]
        cmdline = "console=%s rdinit=/init panic=-1 %s %s" % (
            self.hw.console, os.environ.get("HOTPLUG_SYSTEM_APPEND", "quiet"), append)
        # qemu's own messages apart from the serial console, so that none hides in it.
        self.qemu_err = open(os.path.join(work, "qemu.err"), "wb")
        self.proc = subprocess.Popen(
            ["qemu-system-arm"] + machine + list(qemu_args) + [
             "-nographic", "-no-reboot", "-monitor", "none", "-serial", "stdio",
             "-kernel", kernel, "-initrd", initrd, "-append", cmdline.strip()] + devices +
            ["-qmp", "unix:%s,server=on,wait=off" % self.qmp_path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.qemu_err)
        self.serial_log = open(os.path.join(work, "serial.log"), "ab")
        self.buf = self.qmp_buf = b""
        self.qmp, self.marker, self.commands, self.events, self.failed = None, 0, {}, [], False

    def stick_device(self, name, port=None):
        """qemu's properties of a USB stick: at port of the hub bus ("1.1.1"
        is port 1 of the hub on port 1 of the hub on root port 1), or else
        in the first of the board's sockets that holds none of its sticks
        (the last takes the rest), at the first free port, root or hub."""
        free = [b for b in self.hw.buses if b not in self.on_bus.values()] + [self.hw.buses[-1]]
        self.on_bus[name] = bus = self.hw.hub_bus if port else free[0]
        return dict(driver="usb-storage", id=name, drive=name, bus=bus, **({"port": port} if port else {}))

    def read_until(self, pattern, timeout, waiting=None):
        """The match of pattern on the console within timeout seconds; else
        Stopped, saying what was awaited (waiting) and why the board stopped."""
        end = time.time() + timeout
        rx = re.compile(pattern, re.S)
        while True:
            m = rx.search(self.buf)
            if m:
                self.buf = self.buf[m.end():]
                return m
            left = end - time.time()
            if left <= 0 or self.proc.poll() is not None:
                raise Stopped(self.why("%s within %d s" % (waiting or repr(pattern), timeout)))
            r, _, _ = select.select([self.proc.stdout], [], [], min(left, 0.5))
            if r:
                data = os.read(self.proc.stdout.fileno(), 65536)
                self.serial_log.write(data)
                self.buf += data

    def why(self, waiting):
        """What a failure line says of a board that stopped answering: what
        was awaited, whether qemu runs, what the guest asked qemu for, what
        qemu said, and the console's last lines."""
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.proc.wait(0.5)
        status = self.proc.poll()
        with contextlib.suppress(OSError, ValueError):
            while self.qmp and self.qmp_message(0.2):
                pass
        asked = ["%s (%s)" % (e["event"], e.get("data", {}).get("reason", "")) for e in self.events
                 if e["event"] in ("RESET", "SHUTDOWN", "GUEST_PANICKED", "POWERDOWN")]
        self.qemu_err.flush()
        with open(self.qemu_err.name, "rb") as f:
            said = f.read().decode(errors="replace").strip().splitlines()[-5:]
        lines = ["no " + waiting,
                 "qemu: " + ("still running" if status is None else "exited with status %d" % status),
                 "the guest asked qemu for: " + (", ".join(asked) or "nothing" if self.qmp else
                                                 "unknown, QMP not connected"),
                 "qemu said: " + (" | ".join(said) or "nothing"),
                 "the console's last lines:"] + ["  " + line for line in self.serial_tail(15)]
        return "\n  ".join(lines)

    def boot(self):
        start = time.time()
        self.qmp_connect()
        self.read_until(rb"GUEST-READY", 60, "GUEST-READY from the console's shell")
        self.boot_s = time.time() - start

    def qmp_connect(self):
        """QMP from power-on, so that a guest's reset or power-off during
        its boot is seen; qemu makes the socket before the guest runs."""
        end, qmp = time.time() + 10, socket.socket(socket.AF_UNIX)
        while qmp.connect_ex(self.qmp_path) != 0:
            if time.time() > end or self.proc.poll() is not None:
                qmp.close()
                raise Stopped(self.why("QMP socket within 10 s"))
            time.sleep(0.05)
        self.qmp = qmp
        self.qmp_message(10, "QMP's greeting within 10 s")
        self.qmp_call("qmp_capabilities")

    def sh(self, command, timeout=20):
        """Runs a command in the guest shell; returns (status, output)."""
        return self.finish(self.start(command), timeout)

    def start(self, command):
        """Starts a command in the guest shell; finish() waits for it."""
        self.marker += 1
        begin, end = "<<B%d>>" % self.marker, "<<E%d:" % self.marker
        self.commands[begin] = command
        line = "echo '%s'; %s; echo '%s'$?'>>'\n" % (begin, command, end)
        self.proc.stdin.write(line.encode())
        self.proc.stdin.flush()
        return begin, end

    def finish(self, markers, timeout=20):
        begin, end = markers
        m = self.read_until(re.escape(begin.encode()) + rb"\r?\n(.*?)" + re.escape(end.encode())
                            + rb"(\d+)>>", timeout, "answer of the shell to %r" % self.commands.pop(begin, begin))
        return int(m.group(2)), m.group(1).decode(errors="replace").replace("\r", "")

    def qmp_message(self, timeout, waiting=None):
        """The next message from QMP, its events kept in events. When none
        comes within timeout, or qemu closed QMP: None, or Stopped saying
        why when waiting says what was awaited."""
        end = time.time() + timeout
        while b"\n" not in self.qmp_buf:
            left = end - time.time()
            data = left > 0 and select.select([self.qmp], [], [], left)[0] and self.qmp.recv(65536)
            if not data:
                if waiting:
                    raise Stopped(self.why(waiting))
                return None
            self.qmp_buf += data
        line, self.qmp_buf = self.qmp_buf.split(b"\n", 1)
        msg = json.loads(line)
        if "event" in msg:
            self.events.append(msg)
        return msg

    def qmp_call(self, name, **args):
        self.qmp.sendall(json.dumps({"execute": name, "arguments": args}).encode() + b"\n")
        while True:
            msg = self.qmp_message(30, "answer from QMP to %s within 30 s" % name)
            if "error" in msg:
                raise RuntimeError("%s: %s" % (name, msg["error"]))
            elif "return" in msg:
                return msg["return"]

    def plug(self, name, image, port=None):
        self.qmp_call("blockdev-add", driver="raw", **{"node-name": name},
                      file={"driver": "file", "filename": image})
        self.qmp_call("device_add", **self.stick_device(name, port))

    def unplug(self, *names, timeout=20, drop=True):
        """Pulls the sticks (or readers: drop=False) at once and waits until each is gone."""
        for name in names:
            self.qmp_call("device_del", id=name)
        for name in names:
            self.forget(name, timeout, drop)

    def plug_reader(self, name):
        """Plugs a USB card reader: a removable disk, its card on drive name."""
        self.qmp_call("device_add", driver="usb-storage", id=name, drive=name, removable=True,
                      bus=self.hw.buses[0])

    def forget(self, name, timeout=20, drop=True):
        """Waits for an unplugged stick to be gone and drops its image
        (drop; a reader's drive goes with it)."""
        end = time.time() + timeout
        while not any(e["event"] == "DEVICE_DELETED" and e.get("data", {}).get("device") == name
                      for e in self.events):
            self.qmp_message(max(0, end - time.time()), "DEVICE_DELETED of %s within %d s" % (name, timeout))
        self.events = [e for e in self.events if e.get("data", {}).get("device") != name]
        self.on_bus.pop(name, None)
        if drop:
            self.qmp_call("blockdev-del", **{"node-name": name})

    def card_out(self, drive="card"):
        """Takes the card out of the SD slot, or out of the reader on drive,
        as a person does: at once, whatever the host's lock says."""
        self.qmp_call("eject", device=drive, force=True)

    def card_in(self, image, drive="card"):
        self.qmp_call("blockdev-change-medium", device=drive, filename=image, format="raw")

    def wait_for(self, command, timeout):
        """Repeats a guest command until it succeeds; seconds taken, or None."""
        start = time.time()
        while time.time() - start < timeout:
            if self.sh(command)[0] == 0:
                return time.time() - start
            time.sleep(0.1)
        return None

    def settled(self, command, timeout=SETTLE_S):
        """wait_for, as (whether it came, "after N s")."""
        t = self.wait_for(command, timeout)
        return t is not None, "after %.2f s" % t if t is not None else "not within %d s" % timeout

    def idle(self):
        """Whether nothing is left under /mnt, and what is."""
        return self.settled(IDLE)[0], self.sh(LEFT)[1]

    def reads_back(self, want, dir="/mnt/sda1", name="HELLO.TXT"):
        """Waits for dir to be mounted and reads its file name: whether that
        is want, and what was seen."""
        ok, seen = self.settled(mounted(dir))
        st, out = self.sh("cat %s/%s" % (dir, name))
        return ok and out == want, seen + ", " + repr(out)

    def pull(self, *names):
        """Pulls sticks at once: whether nothing is left after them, and what is."""
        self.unplug(*names)
        return self.idle()

    def hold(self, path):
        """Starts a program that holds path open; whether it does."""
        # In a subshell, so that a failed open cannot cut the console's command line short.
        self.sh("(exec sleep 600 < %s) & echo $! > /tmp/holder" % path)
        return self.wait_for("readlink /proc/$(cat /tmp/holder)/fd/0 | grep -qx %s" % path, 10) is not None

    def kernel_log(self, pattern):
        """The kernel log's lines that match the extended regular expression pattern."""
        return self.sh("dmesg | grep -E '%s'" % pattern)[1].splitlines()

    def cpu(self):
        """The guest's CPU as /proc/cpuinfo names it, and its part where that is vague."""
        info = self.sh("cat /proc/cpuinfo")[1]
        name = re.search(r"^(?:model name|Processor)\s*:\s*(.*)$", info, re.M)
        part = re.search(r"^CPU part\s*:\s*(\S+)$", info, re.M)
        text = name.group(1) if name else "unknown"
        if part and CPU_PARTS.get(part.group(1)) and CPU_PARTS[part.group(1)] not in text:
            text += ", part %s: %s" % (part.group(1), CPU_PARTS[part.group(1)])
        cpus = len(re.findall(r"^processor\s*:", info, re.M))
        return "%d x %s" % (cpus, text) if cpus > 1 else text

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        if self.qmp:
            self.qmp.close()
        self.serial_log.close()
        self.qemu_err.close()

    def serial_tail(self, lines):
        """The last lines the board wrote on its serial console, while it
        runs or after it stopped."""
        if not self.serial_log.closed:
            self.serial_log.flush()
        with open(self.serial_log.name, "rb") as f:
            return f.read().decode(errors="replace").splitlines()[-lines:]

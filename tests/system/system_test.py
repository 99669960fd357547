#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""System test: a real ARM kernel on an emulated board runs the installed
agent as its uevent helper while USB sticks, SD cards and card readers are
plugged and pulled the way people handle them, and a gadget driver comes
and goes. One function per shape of handling; each prints its checks.

usage: system_test.py [--board virt|versatilepb|orangepi] ARM_BUILD_DIR
HOTPLUG_SYSTEM_CACHE (default ~/.cache/hotplug-system) keeps the kernel and
the downloaded packages between runs; HOTPLUG_SYSTEM_KEEP keeps the work
directory with the serial log."""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "harness", "board"))
import board as board_lib  # noqa: E402
from board import IDLE, LEFT, gone, mounted  # noqa: E402

# USB hubs on root port 1, each on the one before's port 1, enough that a
# stick on the last one's port 1 has a DEVPATH of over 127 bytes, as on
# boards whose USB host sits behind a PCIe bridge and an internal hub (a
# Raspberry Pi 4's is 130 to 148). Two on the PCI boards; on the H3, whose
# hosts are on the SoC's own bus, two give 109 bytes and four 135.
HUB_DEPTH = {"orangepi": 4}

# How long the gadget scripts, and the agents and mounts of a coldplug pass,
# are given to finish; the board's own limits are in board.py.
FINISH_S = 10


def hub_ports(name):
    return tuple(".".join("1" * (i + 1)) for i in range(HUB_DEPTH.get(name, 2)))


def behind_hubs_port(name):
    return hub_ports(name)[-1] + ".1"


def devpath_length(board, name):
    """The DEVPATH the kernel gives block device name, and its length."""
    st, out = board.sh("readlink -f /sys/class/block/%s" % name)
    path = out.strip()[len("/sys"):] if st == 0 else ""
    return path, len(path)


def cores(board, sticks, check):
    """The kernel runs every core the board has: the agents of an event burst run side by side."""
    st, out = board.sh("nproc")
    check("the kernel runs the board's %d cores" % board.hw.cores, out.strip() == str(board.hw.cores), repr(out))


def plug_and_unplug(board, sticks, check):
    board.plug("stick1", sticks["stick1"])
    ok, seen = board.settled(mounted("/mnt/sda1"))
    check("plug: /mnt/sda1 mounted", ok, seen)
    st, out = board.sh("cat /mnt/sda1/HELLO.TXT")
    check("plug: file reads back", st == 0 and out == "hello from stick1\n", repr(out))
    check("plug: no /mnt/sda for the whole disk", board.sh("[ ! -e /mnt/sda ]")[0] == 0)
    board.unplug("stick1")
    check("unplug: /mnt/sda1 unmounted and removed", *board.settled(gone("/mnt/sda1")))


def on_image(image, path, offset=board_lib.MIB):
    """The text of path on the FAT at offset of a stick image, read on the
    host, names in UTF-8 as a desktop reads them."""
    r = subprocess.run(["mtype", "-i", "%s@@%d" % (image, offset), "::" + path], capture_output=True, text=True,
                       env=dict(os.environ, LC_ALL="C.UTF-8"))
    return r.stdout if r.returncode == 0 else r.stderr.strip()


def save(board, dir, what):
    """A file, and a new directory with a file in it, written and closed on the mount at dir."""
    board.sh("echo saved on the {1} > {0}/SAVED.TXT && mkdir {0}/NOTES && echo noted on the {1} > {0}/NOTES/TODAY.TXT"
             .format(dir, what))


def kept(image, what, offset=board_lib.MIB):
    """Whether what save() wrote is on the image, read on the host, and what is there."""
    got = [on_image(image, "SAVED.TXT", offset), on_image(image, "NOTES/TODAY.TXT", offset)]
    return got == ["saved on the %s\n" % what, "noted on the %s\n" % what], repr(got)


def saved_then_pulled(board, sticks, check):
    """What a program wrote and closed on a stick is on it when the stick is
    pulled right after: no sync, no unmount, no pause."""
    board.plug("saved", sticks["saved"])
    ok, seen = board.settled(mounted("/mnt/sda1"))
    st, opts = board.sh("grep ' /mnt/sda1 ' /proc/mounts | cut -d' ' -f4")
    check("saving: the stick is mounted with flush", ok and "flush" in opts.split(","), seen + ", " + repr(opts))
    save(board, "/mnt/sda1", "stick")
    left = board.pull("saved")
    check("saving: a file and a new directory's file, closed and pulled at once, are on the stick",
          *kept(sticks["saved"], "stick"))
    check("saving: the pull leaves nothing", *left)


def cycles(board, sticks, check):
    ok = True
    for _ in range(3):
        board.plug("stick1", sticks["stick1"])
        ok &= board.settled(mounted("/mnt/sda1"))[0]
        board.unplug("stick1")
        ok &= board.settled(gone("/mnt/sda1"))[0]
    st, out = board.sh(LEFT)
    check("three plug/unplug cycles leave nothing behind", ok and out == "", repr(out))


def two_sticks(board, sticks, check):
    """One stick of one partition and one of two, plugged and pulled together."""
    board.plug("stick1", sticks["stick1"])
    board.plug("twin", sticks["twin"])
    want = ["hello from stick1", "hello from twin 1", "hello from twin 2"]
    ok, _ = board.settled("[ $(grep -c ' /mnt/sd[ab][12] vfat ' /proc/mounts) = 3 ]", 2 * board_lib.SETTLE_S)
    st, out = board.sh("cat /mnt/sd*/HELLO.TXT")
    ok &= sorted(out.splitlines()) == want
    if not ok:
        out += board.sh("ls -l /mnt /dev/sd*; grep /mnt /proc/mounts; dmesg | tail -25")[1]
    check("two sticks at once, one of two partitions: three mounts, each reads back", ok, out)
    st, out = board.sh("ls /mnt")
    check("two sticks at once: no mount point for either whole disk",
          sorted(out.split()) in (["sda1", "sdb1", "sdb2"], ["sda1", "sda2", "sdb1"]), repr(out))
    check("two sticks pulled at once: nothing mounted or left under /mnt", *board.pull("stick1", "twin"))


def loose_connector(board, sticks, check):
    """Pulls while the kernel is still bringing the stick up, then a clean cycle."""
    left = []
    for delay in (0.5, 1.0, 1.5, 2.0, 2.5, 3.0):
        board.plug("stick1", sticks["stick1"])
        time.sleep(delay)
        ok, what = board.pull("stick1")
        if not ok:
            left.append("%.1f s: %s" % (delay, what))
    check("pulls 0.5 to 3 s after the plug leave nothing", not left, "; ".join(left))
    board.plug("stick1", sticks["stick1"])
    ok, seen = board.reads_back("hello from stick1\n")
    ok &= board.pull("stick1")[0]
    check("after them a clean cycle mounts /mnt/sda1 and leaves nothing", ok, seen)


def held_pull(board, pull):
    """Pulls with a program holding /mnt/sda1/HELLO.TXT open: whether it
    held it and /mnt/sda1 left /proc/mounts and /mnt while it ran, and what
    was seen; whether nothing was left once it quit, and what was."""
    held = board.hold("/mnt/sda1/HELLO.TXT")
    start = time.time()
    pull()
    ok = board.wait_for(gone("/mnt/sda1"), board_lib.SETTLE_S) is not None
    seen = "gone %.2f s after the pull" % (time.time() - start) if ok else "still there: " + board.sh(LEFT)[1]
    held &= board.sh("kill -0 $(cat /tmp/holder)")[0] == 0
    board.sh("kill $(cat /tmp/holder); wait")
    idle, left = board.idle()
    return held and ok, seen + ("" if held else ", the file NOT held open"), idle, left or "nothing left"


def busy_pull(board, sticks, check):
    """A stick pulled while a program holds a file open on it."""
    board.plug("stick1", sticks["stick1"])
    ok, seen = board.reads_back("hello from stick1\n")
    if not ok:
        check("busy pull: /mnt/sda1 mounted to be held", False, seen)
        return
    ok, seen, idle, left = held_pull(board, lambda: board.unplug("stick1"))
    check("busy pull: /mnt/sda1 leaves /proc/mounts and /mnt while the holder runs", ok, seen)
    check("busy pull: nothing left after the holder quits", idle, left)
    # A dead mount left on /mnt/sda1 would still read back from its cache,
    # so the stick comes back written to, as by another machine.
    board_lib.write_hello(sticks["stick1"], "written elsewhere\n")
    board.plug("stick1", sticks["stick1"])
    ok, _ = board.settled(mounted("/mnt/sda1"))
    st, out = board.sh("cat /mnt/sda1/HELLO.TXT; ls -A /mnt; grep ' /mnt/' /proc/mounts | cut -d' ' -f1-3")
    check("busy pull: the stick plugged again mounts as /mnt/sda1",
          ok and out == "written elsewhere\nsda1\n/dev/sda1 /mnt/sda1 vfat\n", repr(out))
    board.pull("stick1")


def behind_hubs(board, sticks, check):
    """A stick behind hubs: a device path longer than the agent's buffer."""
    hubs = len(hub_ports(board.name))
    board.plug("deep", sticks["deep"], behind_hubs_port(board.name))
    ok, seen = board.reads_back("hello from deep\n")
    path, n = devpath_length(board, "sda1")
    print("system: DEVPATH behind %d hubs: %d bytes: %s" % (hubs, n, path), flush=True)
    check("%d hubs: a DEVPATH of %d bytes mounts on /mnt/sda1 and reads back" % (hubs, n), ok and n > 127, seen)
    check("%d hubs: unplugging leaves nothing" % hubs, *board.pull("deep"))


# Names as desktops write them, beyond Latin-1; two CJK names of one length,
# which a Latin-1 mount shows as one "??.txt".
NAMES = {"Müller.txt": "name 1\n", "Don’t Stop.txt": "name 2\n", "song – live.txt": "name 3\n",
         "фото.txt": "name 4\n", "照片.txt": "name 5\n", "写真.txt": "name 6\n"}
# Names the device writes.
WRITTEN = {"ночь.txt": "written 1\n", "it’s.txt": "written 2\n"}


def named(path):
    """path as a shell word that printf makes: the console stays ASCII, whatever the script."""
    return "\"$(printf '%s')\"" % "".join(
        c if c.isascii() and (c.isalnum() or c in "/._-") else "".join("\\%03o" % b for b in c.encode())
        for c in path)


def gpt_names(board, sticks, check):
    """A GPT stick, as macOS partitions one, whose files carry names in
    several scripts, written on a desktop; the device writes two more."""
    image = sticks["gpt names"]
    board.plug("names", image)
    check("GPT: a GPT stick's FAT partition mounts on /mnt/sda1 and reads back",
          *board.reads_back("hello from gpt names\n"))
    wrong = []
    for name, text in NAMES.items():
        st, out = board.sh("cat " + named("/mnt/sda1/" + name))
        if out != text:
            wrong.append("%s: %r" % (name, out))
    check("names: %s each open on the device by their UTF-8 name and hold their own text" % ", ".join(NAMES),
          not wrong, "; ".join(wrong))
    for name, text in WRITTEN.items():
        board.sh("echo %s > %s" % (text.strip().replace(" ", "' '"), named("/mnt/sda1/" + name)))
    left = board.pull("names")
    got = {name: on_image(image, name) for name in WRITTEN}
    check("names: %s, written on the device, read back on the host under those names" % ", ".join(WRITTEN),
          got == WRITTEN, repr(got))
    check("GPT: the pull leaves nothing", *left)


def no_partition_table(board, sticks, check):
    """A stick with FAT on the whole disk and no partition table."""
    image = sticks["floppy"]
    board.plug("floppy", image)
    check("no partition table: a stick mounts on /mnt/sda and reads back",
          *board.reads_back("hello from floppy\n", "/mnt/sda"))
    save(board, "/mnt/sda", "floppy")
    left = board.pull("floppy")
    check("no partition table: a file and a new directory's file, closed and pulled at once, are on the stick",
          *kept(image, "floppy", 0))
    check("no partition table: the pull leaves nothing", *left)


def loop_device(board, sticks, check):
    """A loop device holding FAT, sent an add as a coldplug pass sends it:
    a whole disk without partitions, but no medium a person brought."""
    st, out = board.sh("losetup /dev/loop0 /loop.img && echo add > /sys/class/block/loop0/uevent && "
                       "cat /sys/class/block/loop0/size")
    time.sleep(2)
    board.wait_for("! pidof hotplug mount >/dev/null", FINISH_S)
    check("left alone: a loop device holding FAT, sent an add, is not mounted",
          st == 0 and out.strip() not in ("", "0") and board.sh(IDLE)[0] == 0,
          "size %r, then %r" % (out.strip(), board.sh(LEFT)[1]))
    board.sh("losetup -d /dev/loop0")


# The kernel's mass-storage gadget on dummy_hcd: one USB device whose two
# removable LUNs are a two-slot card reader's slots.
READER = "/sys/kernel/config/usb_gadget/reader"
SLOTS = READER + "/functions/mass_storage.0"


def two_slot_reader(board, sticks, check):
    """A two-slot card reader: cards in and out of each slot, then unplugged."""
    st, out = board.sh(" && ".join([
        "insmod /lib/modules/dummy_hcd.ko", "mount -t configfs none /sys/kernel/config",
        "mkdir %s" % READER, "echo 0x1d6b > %s/idVendor" % READER, "echo 0x0104 > %s/idProduct" % READER,
        "mkdir %s %s/lun.1" % (SLOTS, SLOTS), "echo 1 > %s/lun.0/removable" % SLOTS,
        "echo 1 > %s/lun.1/removable" % SLOTS, "echo /slot2.img > %s/lun.1/file" % SLOTS,
        "mkdir %s/configs/c.1" % READER, "ln -s %s %s/configs/c.1/" % (SLOTS, READER),
        "echo dummy_udc.0 > %s/UDC" % READER]) + " 2>&1")
    ok, seen = board.reads_back("hello from slot 2\n", "/mnt/sdb1")
    check("two-slot reader: a card in the second slot alone mounts on /mnt/sdb1", ok and st == 0,
          seen + ("" if st == 0 else ", the gadget: " + out))
    board.sh("echo /slot1.img > %s/lun.0/file" % SLOTS)
    check("two-slot reader: a card then put in the first slot mounts on /mnt/sda1",
          *board.reads_back("hello from slot 1\n"))
    board.sh("echo 1 > %s/lun.0/forced_eject" % SLOTS)
    ok, seen = board.settled(gone("/mnt/sda1"))
    st, out = board.sh("cat /mnt/sdb1/HELLO.TXT; ls -A /mnt")
    check("two-slot reader: pulling the first card leaves the second mounted and readable",
          ok and out == "hello from slot 2\nsdb1\n", seen + ", " + repr(out))
    board.sh("echo '' > %s/UDC" % READER)
    check("two-slot reader: unplugging the reader leaves nothing", *board.idle())
    board.sh("rmmod dummy_hcd")


def card_reader(board, sticks, check):
    """A USB card reader, plugged empty: a card put in, pulled after saving,
    put back, pulled while read, the reader unplugged; then a reader
    plugged with a card in. The kernel polls the reader each second."""
    card = sticks["reader"]
    board.plug_reader("reader0")
    ok, seen = board.settled("[ -e /sys/class/block/sda ]")
    time.sleep(3)  # three polls
    check("card reader: plugged empty, it mounts nothing", ok and board.sh(IDLE)[0] == 0,
          seen + ", " + board.sh(LEFT)[1])
    board.card_in(sticks["floppy card"], "reader0")
    check("no partition table: a card in the card reader mounts on /mnt/sda and reads back",
          *board.reads_back("hello from floppy card\n", "/mnt/sda"))
    board.card_out("reader0")
    check("no partition table: the card pulled from the reader leaves nothing", *board.idle())
    board.card_in(card, "reader0")
    check("card reader: a card put in mounts on /mnt/sda1 and reads back", *board.reads_back("hello from reader\n"))
    save(board, "/mnt/sda1", "reader card")
    board.card_out("reader0")
    check("card reader: a card pulled at once after saving leaves nothing", *board.idle())
    # Gone now, not at the next card's open, where its remove would race that card's add.
    check("card reader: the pulled card's partition is gone from /dev", board.sh("[ ! -e /dev/sda1 ]")[0] == 0,
          repr(board.sh("ls /dev/sd*")[1]))
    check("card reader: a file and a new directory's file, closed and the card pulled at once, are on the card",
          *kept(card, "reader card"))
    board.card_in(card, "reader0")
    check("card reader: put back, it mounts on /mnt/sda1 and the saved file reads back",
          *board.reads_back("saved on the reader card\n", name="SAVED.TXT"))
    ok, seen, idle, left = held_pull(board, lambda: board.card_out("reader0"))
    check("card reader: pulled while a program reads a file on it, it leaves /mnt at once, and nothing is left "
          "once the program quits", ok and idle, seen + ", then " + left)
    board_lib.write_hello(card, "written elsewhere\n")
    board.card_in(card, "reader0")
    ok, seen = board.reads_back("written elsewhere\n")
    check("card reader: the next card mounts as /mnt/sda1 and reads back", ok and board.sh("ls /mnt")[1] == "sda1\n",
          seen)
    board.unplug("reader0", drop=False)
    check("card reader: unplugged with its card in, it leaves nothing", *board.idle())

    # A second mount of the card would be refused busy, and say so in the kernel log.
    mounts = len(board.kernel_log("mount: "))
    board.plug_reader("reader1")
    ok, seen = board.reads_back("hello from reader in\n")
    time.sleep(5)
    st, out = board.sh("grep -c ' /mnt/sda1 ' /proc/mounts; ls -A /mnt; cat /mnt/sda1/HELLO.TXT")
    check("card reader: plugged with a card in, it mounts it once, and it stays mounted through 5 s of polls",
          ok and out == "1\nsda1\nhello from reader in\n" and len(board.kernel_log("mount: ")) == mounts,
          seen + ", then " + repr(out))
    board.unplug("reader1", drop=False)
    check("card reader: unplugged, it leaves nothing", *board.idle())


def unmountable(board, sticks, check):
    """A stick the mount refuses: the mount's own error is in the kernel log."""
    image = os.path.join(os.path.dirname(sticks["stick1"]), "unmountable.img")
    holds = board_lib.make_unmountable(image)
    said = "mounting /dev/sda1 on /mnt/sda1 failed"
    before = len(board.kernel_log(said))
    board.plug("unmountable", image)
    ok, _ = board.settled("[ $(dmesg | grep -c '%s') -gt %d ]" % (said, before))
    lines = board.kernel_log(said)
    check("kernel log: a stick holding %s, which the mount refuses, says why" % holds, ok,
          lines[-1] if lines else "nothing in the kernel log: " + repr(board.kernel_log("mount")[-3:]))
    check("kernel log: pulling the unmountable stick leaves nothing", *board.pull("unmountable"))


def gadget(board, sticks, check):
    board.sh("insmod /lib/modules/dummy_hcd.ko")
    board.wait_for("grep -q gadget.sh /tmp/gadget.log", FINISH_S)
    st, out = board.sh("cat /tmp/gadget.log")
    expect = ("/etc/quorvane/gadget.sh args=0 ACTION=add "
              "DEVPATH=/devices/platform/dummy_udc.0/gadget.0 fds=/dev/null /dev/null /dev/kmsg")
    check("gadget add runs gadget.sh, fds 0 and 1 on /dev/null, 2 on /dev/kmsg", expect in out.splitlines(),
          repr(out))
    board.sh("rmmod dummy_hcd")
    t = board.wait_for("grep -q ugadget.sh /tmp/gadget.log", FINISH_S)
    st, out = board.sh("grep ugadget.sh /tmp/gadget.log")
    check("gadget remove runs ugadget.sh", t is not None and "ACTION=remove" in out, repr(out))


def at_boot_held(board, sticks, check):
    """Booted with a stick in, the helper registered late and no coldplug
    yet: the stick's events went before anything could hear them."""
    st, out = board.sh("ls /sys/class/block; " + LEFT)
    check("stick in at boot: sda1 there and nothing mounted before the coldplug pass",
          "sda1" in out.split() and "/mnt" not in out and not board.sh("ls -A /mnt")[1], repr(out))
    board.sh("/etc/rc coldplug")
    check("stick in at boot: the coldplug pass mounts /mnt/sda1, which reads back",
          *board.reads_back("hello from boot\n"))
    # A second pass (init run again, an integrator's script): its mount of
    # the same file system on the same mount point is refused.
    board.sh("/etc/rc coldplug")
    time.sleep(2)
    board.wait_for("! pidof hotplug mount >/dev/null", FINISH_S)
    st, again = board.sh("mount -t vfat /dev/sda1 /mnt/sda1 2>&1")
    print("system: the same mount again, as the second add starts it: %s" % again.strip(), flush=True)
    st, out = board.sh("grep -c ' /mnt/sda1 ' /proc/mounts; cat /mnt/sda1/HELLO.TXT; ls -A /mnt")
    check("stick in at boot: a second coldplug pass leaves one mount, which reads back; its mount is refused busy",
          out == "1\nhello from boot\nsda1\n" and "busy" in again, repr(out))
    check("stick in at boot: pulling it leaves nothing", *board.pull("boot"))


# Why a board has no SD test: what qemu lacks there.
NO_SD = {
    "versatilepb": "the kernel reads a card's presence from the board's system register, which qemu never sets, "
                   "so its PL181 slots show no card",
}


def sd_card(board, sticks, check):
    """An SD card in the board's own slot, mmc0, in at boot, then taken out
    and put back as a person does."""
    if board.hw.sd_host is None:
        print("system: SD slot: not tested on this board: %s" % NO_SD[board.name], flush=True)
        return
    card, card_dir = sticks["card"], "/mnt/mmcblk0p1"
    board.sh("/etc/rc coldplug")
    board.wait_for("! pidof hotplug mount >/dev/null", FINISH_S)
    st, out = board.sh("ls /sys/class/block; " + LEFT)
    check("SD card in at boot: the coldplug step for sticks leaves it alone",
          "mmcblk0p1" in out.split() and board.sh(IDLE)[0] == 0, repr(out))
    board.sh("/etc/rc coldplug cards")
    ok, seen = board.reads_back("hello from card\n", card_dir)
    path, n = devpath_length(board, "mmcblk0p1")
    print("system: DEVPATH of the SD card: %d bytes: %s" % (n, path), flush=True)
    check("SD card in at boot: the coldplug step widened to the slot mounts %s, which reads back" % card_dir,
          ok and "/mmc_host/mmc0/" in path, seen)
    board.card_out()
    check("SD card: taken out, it leaves nothing", *board.idle())
    board.card_in(card)
    check("SD card: put in, it mounts on %s and reads back" % card_dir, *board.reads_back("hello from card\n", card_dir))
    save(board, card_dir, "card")
    board.card_out()
    left = board.idle()
    check("SD card: a file and a new directory's file, closed and taken out at once, are on the card",
          *kept(card, "card"))
    check("SD card: taken out, it leaves nothing", *left)
    board.card_in(sticks["floppy card"])
    check("no partition table: in the SD slot, a card mounts on /mnt/mmcblk0 and reads back",
          *board.reads_back("hello from floppy card\n", "/mnt/mmcblk0"))
    board.card_out()
    check("no partition table: taken out of the SD slot, it leaves nothing", *board.idle())


def bridge(board, sticks, check):
    """No uevent helper: busybox uevent runs the agent for each netlink event."""
    st, out = board.sh("cat /proc/sys/kernel/hotplug; pidof uevent")
    check("bridge: no uevent helper registered, the listener running", st == 0 and out.startswith("\n"),
          repr(out))
    ok, seen = board.reads_back("hello from deep\n")
    path, n = devpath_length(board, "sda1")
    print("system: DEVPATH of the stick in at boot behind the hubs: %d bytes" % n, flush=True)
    check("bridge: the stick in at boot behind the hubs is mounted by the coldplug pass and reads back",
          ok and n > 127, seen)
    check("bridge: pulling it leaves nothing", *board.pull("boot"))
    board.plug("stick", sticks["boot"])
    ok, seen = board.reads_back("hello from boot\n")
    left, what = board.pull("stick")
    check("bridge: a plug and pull cycle mounts, reads back and leaves nothing", ok and left, seen + " " + what)


# Each boot of the board: what it is, how it boots, and its checks. A stick
# in at boot is "boot"; the start-up file holds the slow boots back until
# its partition is in sysfs.
BOOTS = (
    ("uevent helper, hubs, card readers polled each second",
     lambda sticks, name: dict(hubs=hub_ports(name), readers=[("reader0", ""), ("reader1", sticks["reader in"])],
                               append="block.events_dfl_poll_msecs=1000"),
     (cores, plug_and_unplug, saved_then_pulled, cycles, two_sticks, loose_connector, busy_pull, behind_hubs,
      gpt_names, no_partition_table, card_reader, unmountable, loop_device, gadget, two_slot_reader)),
    ("uevent helper, a stick and, where tested, an SD card in at boot, no coldplug at boot",
     lambda sticks, name: dict(sticks=[("boot", sticks["boot"], None)], append="hotplug.wait=sda1 hotplug.coldplug=no",
                               card=sticks["card"] if board_lib.BOARDS[name].sd_host is not None else None),
     (at_boot_held, sd_card)),
    ("netlink bridge, a stick in at boot behind the hubs",
     lambda sticks, name: dict(hubs=hub_ports(name), sticks=[("boot", sticks["deep"], behind_hubs_port(name))],
                               append="hotplug.wait=sda1 hotplug.bridge"),
     (bridge,)),
)

# The images, each with its partitions' HELLO.TXT texts, and its partition
# table (None: FAT on the whole disk).
STICKS = (("stick1", ["hello from stick1\n"], "mbr"), ("twin", ["hello from twin 1\n", "hello from twin 2\n"], "mbr"),
          ("deep", ["hello from deep\n"], "mbr"), ("boot", ["hello from boot\n"], "mbr"),
          ("saved", ["hello from saved\n"], "mbr"), ("card", ["hello from card\n"], "mbr"),
          ("reader", ["hello from reader\n"], "mbr"), ("reader in", ["hello from reader in\n"], "mbr"),
          ("gpt names", ["hello from gpt names\n"], "gpt"), ("floppy", ["hello from floppy\n"], None),
          ("floppy card", ["hello from floppy card\n"], None))
# Images inside the guest: the loop device's, and the two-slot reader's cards.
GUEST_IMAGES = (("/loop.img", ["hello from loop\n"], None), ("/slot1.img", ["hello from slot 1\n"], "mbr"),
                ("/slot2.img", ["hello from slot 2\n"], "mbr"))


def device_steps(check):
    """The device guide's indented commands are what the boards run at boot."""
    guide = open(os.path.join(board_lib.HERE, "..", "..", "docs", "device.md")).read()
    shown = [line.strip() for line in guide.splitlines() if line.startswith("    ")]
    rc = {line.strip() for line in open(os.path.join(board_lib.HERE, "rc")).read().splitlines()}
    missing = [line for line in shown if line not in rc]
    check("device guide: each command for putting it on a device is one the boards' start-up file runs",
          bool(shown) and not missing, "not run: " + " | ".join(missing) if missing else "%d lines" % len(shown))


def run(name, build, cache, work):
    """Every check on a fresh board; the exit status."""
    extra = []
    for inside, contents, table in GUEST_IMAGES:
        image = os.path.join(work, inside.lstrip("/"))
        board_lib.make_stick(image, "GUEST", contents, table, 4 * board_lib.MIB)
        extra.append((inside, image, 0o644))
    initrd = board_lib.make_initramfs(name, build, cache, work, extra)
    sticks = {}
    for stick, contents, table in STICKS:
        sticks[stick] = os.path.join(work, stick.replace(" ", "-") + ".img")
        board_lib.make_stick(sticks[stick], stick.upper().replace(" ", "")[:8], contents, table)
    board_lib.put_files(sticks["gpt names"], NAMES)

    results = []

    def check(what, ok, detail=""):
        results.append(ok)
        print("system: %s %s%s" % ("PASS" if ok else "FAIL", what, (": " + detail) if detail else ""),
              flush=True)

    device_steps(check)
    total_start = time.time()
    for what, setup, shapes in BOOTS:
        failed = results.count(False)
        try:
            with board_lib.running(name, cache, initrd, work, "system", **setup(sticks, name)) as board:
                print("system: %s booted to a shell in %.2f s (%s), CPU: %s" % (name, board.boot_s, what,
                                                                                board.cpu()), flush=True)
                for shape in shapes:
                    shape(board, sticks, check)
                board.failed = results.count(False) > failed
        except Exception as e:  # a hung or dead board fails the run, with what it said
            check("%s: board ran to the end" % what, False, str(e))

    print("system: whole test took %.1f s" % (time.time() - total_start))
    passed = results.count(True)
    print("%d passed, %d failed" % (passed, len(results) - passed))
    return 0 if passed == len(results) else 1


def main():
    ap = argparse.ArgumentParser(description="The agent under the real ARM kernel of an emulated board.")
    ap.add_argument("--board", choices=sorted(board_lib.BOARDS), default="virt")
    ap.add_argument("build", help="the ARM build tree (cmake --preset arm), whose install is booted")
    opts = ap.parse_args()
    with board_lib.workspace(opts.board, "system") as (cache, work):
        status = run(opts.board, os.path.abspath(opts.build), cache, work)
    sys.exit(status)


if __name__ == "__main__":
    main()

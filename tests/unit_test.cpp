// SPDX-License-Identifier: MIT
#include "block.hpp"
#include "token.hpp"
#include "util.hpp"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

int32_t first() { return 10; }
int32_t second() { return 20; }
int32_t third() { return -1; }

const subsystem_entry table[] = {
    {"block", first},
    {"blockade", second},
    {"gadget", third},
    {nullptr, nullptr},
};

TEST(CallSubsystem, MatchesGivenNameAsPrefixOfFirstRow)
{
    struct { const char *name; int32_t result; } cases[] = {
        {"block", 10},    {"blo", 10},   {"b", 10},     {"", 10},
        {"blockade", 20}, {"blocka", 20}, {"gadget", -1}, {"g", -1},
        {"blockx", 1},    {"Block", 1},  {"gadgets", 1}, {"x", 1},
        {"block ", 1},    {"BLOCK", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(call_subsystem(c.name, table), c.result) << '"' << c.name << '"';
}

TEST(CallSubsystem, EmptyTableMatchesNothing)
{
    const subsystem_entry empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(call_subsystem("", empty), 1);
    EXPECT_EQ(call_subsystem("block", empty), 1);
}

TEST(EnvFind, MatchesTheWholeNameUpToTheEqualsSign)
{
    char vars[][16] = {"ACTIONX=no", "ACTIO=short", "ACTION", "DEVPATH==x", "ACTION=add", "ACTION=later", "EMPTY="};
    char *env[] = {vars[0], vars[1], vars[2], vars[3], vars[4], vars[5], vars[6], nullptr};
    struct { const char *name; const char *value; } cases[] = {
        {"ACTION", "add"}, {"ACTIO", "short"}, {"ACTIONX", "no"}, {"DEVPATH", "=x"},
        {"EMPTY", ""},     {"MINOR", nullptr}, {"A", nullptr},    {"", nullptr},
    };
    for (const auto &c : cases) {
        const char *v = env_find(env, c.name);
        if (c.value)
            EXPECT_STREQ(v, c.value) << c.name;
        else
            EXPECT_EQ(v, nullptr) << c.name;
    }
}

TEST(CallAction, ReadsActionFromEnvironment)
{
    struct { const char *action; int32_t result; } cases[] = {
        {nullptr, 1}, {"", 10}, {"blockade", 20}, {"ga", -1}, {"change", 1},
    };
    for (const auto &c : cases) {
        if (c.action)
            setenv("ACTION", c.action, 1);
        else
            unsetenv("ACTION");
        EXPECT_EQ(call_subsystem(event_action(environ), table), c.result) << (c.action ? c.action : "(absent)");
    }
    unsetenv("ACTION");
}

TEST(DecimalValue, FollowsTheDecimalRuleWithSaturation)
{
    struct { const char *text; int32_t value; } cases[] = {
        {"1", 1},
        {"0", 0},
        {"", 0},
        {"abc", 0},
        {"-3", -3},
        {"+16", 16},
        {" \t\n\v\f\r42", 42},
        {"12abc", 12},
        {"7 8", 7},
        {"- 5", 0},
        {"+-5", 0},
        {"--5", 0},
        {"0x10", 0},
        {"007", 7},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999", INT32_MIN},
        {"\x1f" "5", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decimal_value(c.text), c.value) << '"' << c.text << '"';
}

std::vector<std::string> tokens()
{
    std::vector<std::string> out;
    for (int i = 0; i < tokenset.count; i++)
        out.push_back(tokenset.token[i]);
    return out;
}

using Words = std::vector<std::string>;

TEST(ParseProcess, SplitsOnSpacesOnly)
{
    struct { const char *input; Words words; } cases[] = {
        {" block sda sda1", {"block", "sda", "sda1"}},
        {" block sda sda1 ", {"block", "sda", "sda1"}},
        {"  block  sda1", {"block", "sda1"}},
        {"", {}},
        {"    ", {}},
        {"a\tb c", {"a\tb", "c"}},
        {"x\ny z", {"x"}},
        {"\nx", {}},
        {"a\rb", {"a\rb"}},
        {"one", {"one"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(parse_process(c.input), int32_t(c.words.size())) << '"' << c.input << '"';
        EXPECT_EQ(tokens(), c.words) << '"' << c.input << '"';
    }
}

TEST(ParseProcess, StopsWhenTheTextIsFull)
{
    // A long token, then "b": with their NULs they need 127 bytes, all 128
    // of text, and 129, where "b" no longer fits and no empty token may
    // stand in for it.
    struct { size_t first; Words words; } cases[] = {
        {124, {std::string(124, 'x'), "b"}},
        {125, {std::string(125, 'x'), "b"}},
        {126, {std::string(126, 'x')}},
    };
    for (const auto &c : cases) {
        std::string input = std::string(c.first, 'x') + " b";
        EXPECT_EQ(parse_process(input.c_str()), int32_t(c.words.size())) << c.first;
        EXPECT_EQ(tokens(), c.words) << c.first;
    }
}

TEST(ParseProcess, FillsLeadsAndClearsEverythingFirst)
{
    parse_process("aa bb cc dd ee ff");
    ASSERT_EQ(parse_process(" block sda sda1"), 3);
    EXPECT_EQ(std::string(tokenset.lead, 3), "bss");
    for (int i = 3; i < max_tokens; i++) {
        EXPECT_EQ(tokenset.token[i], nullptr);
        EXPECT_EQ(tokenset.lead[i], 0);
    }
    // Nothing of the longer first parse may be left after the new texts.
    const char expected[] = "block\0sda\0sda1";
    EXPECT_EQ(memcmp(tokenset.text, expected, sizeof expected), 0);
    for (size_t i = sizeof expected; i < sizeof tokenset.text; i++)
        EXPECT_EQ(tokenset.text[i], 0) << i;

    for (int i = 0; i < tokenset.count; i++) {
        EXPECT_GE(tokenset.token[i], tokenset.text);
        EXPECT_LT(tokenset.token[i], tokenset.text + sizeof tokenset.text);
    }
    EXPECT_EQ(parse_process(""), 0);
    EXPECT_EQ(tokenset.token[0], nullptr);
}

Words split(const std::string &text)
{
    Words out;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find(' ', i);
        if (j == std::string::npos)
            j = text.size();
        if (j > i)
            out.push_back(text.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

TEST(ParseProcess, NeverWritesPastTheText)
{
    // Up to 127 bytes every token fits; past that the parse stops at the end
    // of text (the sanitizer build catches a write beyond it).
    for (size_t len : {126u, 127u, 128u, 129u, 200u, 1000u}) {
        for (const char *unit : {"x", "ab ", " y"}) {
            std::string input;
            while (input.size() < len)
                input += unit;
            input.resize(len);
            int32_t n = parse_process(input.c_str());
            ASSERT_LE(n, max_tokens);
            for (int i = 0; i < n; i++) {
                size_t end = size_t(tokenset.token[i] - tokenset.text) + strlen(tokenset.token[i]);
                EXPECT_LT(end, sizeof tokenset.text) << len << " " << unit;
            }
            if (len <= 127) {
                EXPECT_EQ(tokens(), split(input)) << len << " " << unit;
            }
        }
    }
}

TEST(ConvertSpecialCharacter, StopsAtNulLineFeedOrCarriageReturn)
{
    struct { const char *input; const char *output; } cases[] = {
        {"/block/sda/sda1", " block sda sda1"},
        {"a/b\rc/d", "a b\rc/d"},
        {"a/b\nc/d", "a b\nc/d"},
        {"", ""},
        {"///", "   "},
        {"\r/", "\r/"},
    };
    for (const auto &c : cases) {
        char buf[64] = {};
        strcpy(buf, c.input);
        convert_special_character(buf, '/', ' ');
        EXPECT_STREQ(buf, c.output);
    }
}

// A stick's partition on a Raspberry Pi 4 (138 bytes), and paths longer
// than devbuf2 holds: named as the whole path names them.
const std::string pi4 = "/devices/platform/scb/fd500000.pcie/pci0000:00/0000:00:00.0/0000:01:00.0/usb1/1-1/1-1.4/"
                        "1-1.4:1.0/host0/target0:0:0/0:0:0:0/block/sda";
const std::string pi4_sda1 = pi4 + "/sda1";
const std::string path128 = "/" + std::string(122, 'x') + "/sda1";
std::string repeat(const std::string &unit, size_t n)
{
    std::string s;
    while (n--)
        s += unit;
    return s;
}

TEST(BlockPrepare, TakesTheLastComponentAsName)
{
    const std::string kib = repeat("/1-1.4", 1000) + "/sda/sda1";       // 6 KiB, 1,002 components
    const std::string lf = "/block/sdb/sdb1\n" + repeat("/x", 200) + "/sdc1";
    const std::string spaces = pi4 + " sda1 ";
    const std::string at_space = "/" + std::string(100, 'a') + " " + std::string(100, 'b') + " sda1";
    const std::string slashes = pi4_sda1 + repeat("/", 300);
    const std::string cr_space = "/block/sda\r" + repeat(" x", 100) + " sda1";
    const std::string cr_kept = repeat("/x", 100) + "/sd\ra";
    const std::string name58 = pi4 + "/" + std::string(58, 'n');
    const std::string tab_early = "/us\tb" + pi4_sda1; // a control byte that is no CR or LF
    ASSERT_EQ(path128.size(), 128u);
    ASSERT_EQ(pi4_sda1.size(), 138u);
    struct { const char *devpath; const char *minor; const char *name; const char *devtype = nullptr; } cases[] = {
        {path128.c_str(), "1", "sda1"},
        {pi4_sda1.c_str(), "1", "sda1", "partition"},
        {kib.c_str(), "1", "sda1"},
        {lf.c_str(), "1", "sdb1"},
        {spaces.c_str(), "1", "sda1"},
        {at_space.c_str(), "1", "sda1"},
        {slashes.c_str(), "1", "sda1"},
        {cr_space.c_str(), "1", "sda1"},
        {cr_kept.c_str(), "1", "sd\ra"},
        {tab_early.c_str(), "1", "sda1"},
        {name58.c_str(), "1", name58.c_str() + pi4.size() + 1},
        {"/block/sda/sda1", "1", "sda1"},
        {"/block/sda/sda1", "1", "sda1", "partition"},
        {"/block/sdb", "16", "sdb", ""},
        {"/block/sda/sda1/", "1", "sda1"},
        {"//block//sda1", "1", "sda1"},
        {"/block/sdb", "16", "sdb"},
        {"/block/sda/sda1", "99999999999", "sda1"},
        {"/block/sda/sda1", " +3x", "sda1"},
        {"/devices/pci0000:00/host0/target0:0:0/0:0:0:0/block/sda/sda1", "1", "sda1"},
        {"/block/sda/sd\ta", "1", "sd\ta"},
        {"/block/sda/sda1\n/other", "1", "sda1"},
        {"/block/my disk", "1", "disk"},
        {"sda1", "1", "sda1"},
        {"/block/...", "1", "..."},
        {"/block/a23456789012345678901234567890123456789012345678901234567", "1",
         "a23456789012345678901234567890123456789012345678901234567"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(block_prepare(c.devpath, c.minor, c.devtype), block_check::ok) << c.devpath;
        EXPECT_EQ(std::string(mountdev), std::string("/dev/") + c.name);
        EXPECT_EQ(std::string(mntptr), std::string("/mnt/") + c.name);
    }
}

TEST(BlockPrepare, IgnoresEventsItCannotActOnSafely)
{
    std::string path127 = "/block";
    while (path127.size() < 127 - 5)
        path127 += "/x";
    path127 = path127.substr(0, 122) + "/sda1";
    std::string long_path = "/block/" + std::string(120, 'x');
    std::string name58 = "/block/" + std::string(58, 'n');
    std::string name59 = "/block/" + std::string(59, 'n');
    // The slashes after a CR, even one far outside devbuf2, stay in the name.
    std::string cr_dropped = "/block/sda\r" + repeat("/x", 100) + "/sda1";
    std::string name59_long = pi4 + "/" + std::string(59, 'n');
    std::string name200 = pi4 + "/" + std::string(200, 'n');
    std::string lf_first = "\n" + pi4_sda1;
    ASSERT_EQ(path127.size(), 127u);
    ASSERT_EQ(block_prepare(path127.c_str(), "1", nullptr), block_check::ok);
    EXPECT_STREQ(mntptr, "/mnt/sda1");
    ASSERT_EQ(block_prepare(name58.c_str(), "1", nullptr), block_check::ok);

    struct { const char *devpath; const char *minor; block_check why; const char *devtype = nullptr; } cases[] = {
        {"/block/sdb", "16", block_check::whole_disk, "disk"},
        {"/block/sda/sda1", "0", block_check::minor_not_positive},
        {"/block/sda/sda1", "-3", block_check::minor_not_positive},
        {"/block/sda/sda1", "abc", block_check::minor_not_positive},
        {"/block/sda/sda1", "", block_check::minor_not_positive},
        {"/block/sda/sda1", "-99999999999", block_check::minor_not_positive},
        {"/block/sda/sda1", nullptr, block_check::minor_absent},
        {nullptr, "1", block_check::devpath_absent},
        {"", "1", block_check::no_component},
        {"///", "1", block_check::no_component},
        {"\n/block/sda1", "1", block_check::no_component},
        {lf_first.c_str(), "1", block_check::no_component},
        {long_path.c_str(), "1", block_check::name_too_long}, // name of 120 bytes
        {name59.c_str(), "1", block_check::name_too_long},
        {name59_long.c_str(), "1", block_check::name_too_long},
        {name200.c_str(), "1", block_check::name_too_long},
        {cr_dropped.c_str(), "1", block_check::name_too_long}, // and holds slashes
        {pi4.c_str(), "0", block_check::minor_not_positive},
        {pi4.c_str(), "16", block_check::whole_disk, "disk"},
        {"/block/.", "1", block_check::name_unsafe},
        {"/block/..", "1", block_check::name_unsafe},
        {"/block/sda/..", "1", block_check::name_unsafe},
        {"/block/sda\r/../../etc", "1", block_check::name_unsafe},
        {"/block/x\r/y", "1", block_check::name_unsafe},
    };
    for (const auto &c : cases) {
        memset(mntptr, 'Z', sizeof mntptr - 1);
        mntptr[sizeof mntptr - 1] = 0;
        std::string before = mntptr;
        EXPECT_EQ(block_prepare(c.devpath, c.minor, c.devtype), c.why)
            << (c.devpath ? c.devpath : "(absent)") << " / " << (c.minor ? c.minor : "(absent)");
        // An ignored MINOR leaves the buffers alone.
        if (c.minor && c.devpath && decimal_value(c.minor) <= 0) {
            EXPECT_EQ(std::string(mntptr), before);
        }
    }
}

// A change is acted on only for a whole disk whose medium came or went; the
// first reader is sda, minor 0. Other changes, as before, reach nothing.
TEST(BlockReached, TakesAMediaChangeOfAWholeDiskOnly)
{
    using V = std::vector<const char *>;
    struct { V env; block_step step; block_check why; const char *node = ""; } cases[] = {
        {{"ACTION=change", "DEVPATH=/block/sda", "MINOR=0", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"},
         block_step::change, block_check::ok, "/dev/sda"},
        {{"ACTION=change", "DEVPATH=/block/mmcblk1", "MINOR=8", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"},
         block_step::change, block_check::ok, "/dev/mmcblk1"},
        {{"ACTION=ch", "DEVPATH=/block/sdb", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"},
         block_step::change, block_check::ok, "/dev/sdb"},
        {{"ACTION=change", "DEVPATH=/block/sda", "MINOR=0", "DEVTYPE=disk"}, block_step::none,
         block_check::no_media_change},
        {{"ACTION=change", "DEVPATH=/block/sda", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=0"}, block_step::none,
         block_check::no_media_change},
        {{"ACTION=change", "DEVPATH=/block/sda", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=10"}, block_step::none,
         block_check::no_media_change},
        {{"ACTION=change", "DEVPATH=/block/sda/sda1", "MINOR=1", "DEVTYPE=partition", "DISK_MEDIA_CHANGE=1"},
         block_step::none, block_check::not_whole_disk},
        {{"ACTION=change", "DEVPATH=/block/sda", "DISK_MEDIA_CHANGE=1"}, block_step::none,
         block_check::not_whole_disk},
        {{"ACTION=change", "DEVPATH=/block/..", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"}, block_step::none,
         block_check::name_unsafe},
        {{"ACTION=change", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"}, block_step::none, block_check::devpath_absent},
        {{"ACTION=add", "DEVPATH=/block/sda", "MINOR=0", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"}, block_step::none,
         block_check::not_on_host},
        {{"ACTION=changed", "DEVPATH=/block/sda", "DEVTYPE=disk", "DISK_MEDIA_CHANGE=1"}, block_step::none,
         block_check::ok},
    };
    for (auto &c : cases) {
        c.env.push_back(nullptr);
        block_check why;
        EXPECT_EQ(block_reached(const_cast<char *const *>(c.env.data()), -1, &why), c.step) << c.env[0];
        EXPECT_EQ(why, c.why) << c.env[0] << " " << c.env[1];
        if (c.step != block_step::none) {
            EXPECT_STREQ(mountdev, c.node);
        }
    }
}

// A sysfs tree in a scratch directory: each disk's directory with its size
// and the directories of its partitions or areas.
class FakeSysfs {
public:
    FakeSysfs()
    {
        char name[] = "/tmp/hotplug-sysfs.XXXXXX";
        root_ = mkdtemp(name);
        fd_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    ~FakeSysfs()
    {
        close(fd_);
        nftw(root_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    int fd() const { return fd_; }

    // The disk at devpath: size (null: no size file) and subdirectories.
    void disk(const std::string &devpath, const char *size, const Words &subdirs = {})
    {
        dirs(devpath);
        if (size) {
            FILE *f = fopen((root_ + devpath + "/size").c_str(), "w");
            fputs(size, f);
            fclose(f);
        }
        for (const std::string &d : subdirs)
            dirs(devpath + "/" + d);
    }

private:
    void dirs(const std::string &path)
    {
        for (size_t slash = 1; slash != std::string::npos; slash = path.find('/', slash + 1))
            mkdir((root_ + path.substr(0, slash)).c_str(), 0755);
        mkdir((root_ + path).c_str(), 0755);
    }
    std::string root_;
    int fd_;
};

// A whole disk is mounted only when it holds a medium of its own: a USB or
// MMC host's disk with a medium and no partitions, and not an eMMC area.
TEST(DiskPrepare, MountsAWholeDiskOnlyWhenItHoldsAMediumOfItsOwn)
{
    const std::string usb = "/devices/pci0000:00/0000:00:01.0/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0/block/";
    const std::string sd = "/devices/platform/soc/1c0f000.mmc/mmc_host/mmc0/mmc0:aaaa/block/";
    const std::string emmc = "/devices/platform/soc/1c11000.mmc/mmc_host/mmc1/mmc1:0001/block/";
    const std::string gadget = "/devices/platform/dummy_hcd.0/usb3/3-1/3-1:1.0/host1/target1:0:1/1:0:1:0/block/";
    struct { std::string devpath; const char *size; Words subdirs; block_check why; const char *name = ""; } cases[] = {
        {usb + "sda", "31116288\n", {"queue", "holders"}, block_check::ok, "sda"},
        {sd + "mmcblk0", "15523840\n", {}, block_check::ok, "mmcblk0"},
        {gadget + "sdb", "8192\n", {}, block_check::ok, "sdb"},
        {pi4, "4096\n", {}, block_check::ok, "sda"}, // its host past devbuf2
        {emmc + "mmcblk1", "30535680\n", {"mmcblk1boot0", "mmcblk1boot1"}, block_check::ok, "mmcblk1"},
        {usb + "sda", "31116288\n", {"sda1"}, block_check::partitioned},
        {usb + "sda", "31116288\n", {"sda12", "sda2"}, block_check::partitioned},
        {sd + "mmcblk0", "15523840\n", {"mmcblk0p1"}, block_check::partitioned},
        {usb + "sda", "0\n", {}, block_check::no_medium},
        {usb + "sda", nullptr, {}, block_check::no_medium},
        {usb + "sda", "", {}, block_check::no_medium},
        {"/devices/virtual/block/loop0", "2048\n", {}, block_check::not_on_host},
        {"/devices/virtual/block/ram0", "8192\n", {}, block_check::not_on_host},
        {"/devices/virtual/block/zram0", "8192\n", {}, block_check::not_on_host},
        {"/devices/virtual/block/nbd0", "8192\n", {}, block_check::not_on_host},
        {"/devices/virtual/block/dm-0", "8192\n", {}, block_check::not_on_host},
        {"/devices/virtual/block/md0", "8192\n", {}, block_check::not_on_host},
        {"/devices/platform/10000000.flash/mtd/mtd0/block/mtdblock0", "8192\n", {}, block_check::not_on_host},
        {"/devices/virtual/block/usb1", "8192\n", {}, block_check::not_on_host}, // the name is no host
        {"/devices/platform/usb/block/sda", "8192\n", {}, block_check::not_on_host},
        {"/devices/platform/usbx1/block/sda", "8192\n", {}, block_check::not_on_host},
        {usb + "../../../../../../../../virtual/block/loop0", "8192\n", {}, block_check::not_on_host},
        {emmc + "mmcblk1/mmcblk1boot0", "8192\n", {}, block_check::emmc_area},
        {emmc + "mmcblk1/mmcblk1rpmb", "256\n", {}, block_check::emmc_area},
        {emmc + "mmcblk1boot1", "8192\n", {}, block_check::emmc_area},
        {emmc + "mmcblk1rpmb", "256\n", {}, block_check::emmc_area},
        {emmc + "mmcblk10rpmb", "256\n", {}, block_check::emmc_area},
        {usb + "sda/sdb", "8192\n", {}, block_check::emmc_area}, // below another disk
        {usb + "sdc", nullptr, {}, block_check::not_in_sysfs},
        {usb + "..", "8192\n", {}, block_check::name_unsafe},
    };
    for (const auto &c : cases) {
        FakeSysfs sys;
        if (c.why != block_check::not_in_sysfs)
            sys.disk(c.devpath, c.size, c.subdirs);
        EXPECT_EQ(disk_prepare(sys.fd(), c.devpath.c_str()), c.why) << c.devpath;
        if (c.why == block_check::ok) {
            EXPECT_EQ(std::string(mntptr), std::string("/mnt/") + c.name);
        }
    }
}

} // namespace

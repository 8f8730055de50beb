#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "storage/blockdevice.h"
#include "tests/support/testutil.h"

namespace {

namespace fs = std::filesystem;

// A machine with a USB card reader holding a mounted card, a built-in MMC
// slot, a fixed disk holding the root file system and a loop device.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/0:0:0:0";
        disk("sdb", "31116288", "1", usb);
        text(usb + "/vendor", "Generic \n");
        text(usb + "/model", "SD/MMC Reader   \n");
        partition("sdb", "sdb1");
        partition("sdb", "sdb2");

        const std::string mmc = "devices/platform/sdhci/mmc_host/mmc0/mmc0:aaaa";
        disk("mmcblk0", "0", "0", mmc);
        text(mmc + "/name", "SC32G\n");

        const std::string ata = "devices/pci0000:00/0000:00:17.0/ata1/host0/0:0:0:0";
        disk("sda", "1000215216", "0", ata);
        text(ata + "/model", "Fixed SSD\n");
        partition("sda", "sda2");

        disk("loop0", "40960", "0", "");

        testutil::writeText(dir.file("mounts"),
                            "/dev/sda2 / ext4 rw 0 0\n"
                            "tmpfs /tmp tmpfs rw 0 0\n"
                            "/dev/sdb2 /media/my\\040card ext4 rw 0 0\n"
                            "/dev/sdb1 /boot/card vfat rw 0 0\n");
    }

    void text(const std::string& relative, const std::string& content) {
        fs::create_directories(fs::path(dir.file("sys/" + relative)).parent_path());
        testutil::writeText(dir.file("sys/" + relative), content);
    }
    void disk(const std::string& name, const std::string& sectors, const std::string& removable,
              const std::string& device) {
        text("block/" + name + "/size", sectors + "\n");
        text("block/" + name + "/removable", removable + "\n");
        if (!device.empty()) {
            fs::create_directories(dir.file("sys/" + device));
            fs::create_directory_symlink(dir.file("sys/" + device),
                                         dir.file("sys/block/" + name + "/device"));
        }
    }
    void partition(const std::string& disk, const std::string& name) {
        text("block/" + disk + "/" + name + "/partition", "1\n");
        fs::create_directories(dir.file("sys/class/block"));
        fs::create_directory_symlink(dir.file("sys/block/" + disk + "/" + name),
                                     dir.file("sys/class/block/" + name));
    }
    BlockDevices system() const { return BlockDevices(dir.file("sys"), dir.file("mounts")); }

    testutil::TempDir dir;
};

TEST_F(FakeSysfs, ListsOnlyCardReadersWithTheirMounts) {
    const std::vector<BlockDevice> readers = system().cardReaders();
    ASSERT_EQ(readers.size(), 2u);

    const BlockDevice& mmc = readers[0];
    EXPECT_EQ(mmc.path, "/dev/mmcblk0");
    EXPECT_TRUE(mmc.mmc);
    EXPECT_FALSE(mmc.removable || mmc.usb);
    EXPECT_EQ(mmc.size, 0u);  // an empty slot
    EXPECT_EQ(mmc.model, "SC32G");
    EXPECT_TRUE(mmc.mounts.empty());

    const BlockDevice& usb = readers[1];
    EXPECT_EQ(usb.path, "/dev/sdb");
    EXPECT_TRUE(usb.removable && usb.usb);
    EXPECT_FALSE(usb.mmc);
    EXPECT_EQ(usb.size, 31116288ull * 512);
    EXPECT_EQ(usb.vendor, "Generic");
    EXPECT_EQ(usb.model, "SD/MMC Reader");
    EXPECT_EQ(usb.mounts, (std::vector<std::string>{"/media/my card", "/boot/card"}));
    EXPECT_EQ(usb.mountedFrom, (std::vector<std::string>{"/dev/sdb2", "/dev/sdb1"}));
}

TEST_F(FakeSysfs, DescribesOtherDisksAndTellsPartitionsApart) {
    const BlockDevices sys = system();
    BlockDevice device;
    ASSERT_TRUE(sys.describe("sda", device));
    EXPECT_FALSE(device.isCardReader());
    EXPECT_EQ(device.mounts, std::vector<std::string>{"/"});
    ASSERT_TRUE(sys.describe("loop0", device));
    EXPECT_FALSE(device.isCardReader());
    EXPECT_EQ(device.size, 40960u * 512);

    for (const char* name : {"sdb1", "sda2", "nosuch", "", "../block/sdb"}) {
        EXPECT_FALSE(sys.describe(name, device)) << name;
    }
    EXPECT_EQ(sys.diskOfPartition("sdb1"), "sdb");
    EXPECT_EQ(sys.diskOfPartition("sda2"), "sda");
    EXPECT_EQ(sys.diskOfPartition("sdb"), "");
    EXPECT_EQ(sys.diskOfPartition("nosuch"), "");
}

// Loop devices name their files as paths, which may be any name of the node
// or of the image: only device numbers and inodes tell what is attached.
TEST_F(FakeSysfs, FindsLoopsAndHoldersOverADiskByNumberNotName) {
    text("block/sdb/dev", "8:16\n");
    text("block/sdb/sdb1/dev", "8:17\n");
    text("block/sdb/sdb2/dev", "8:18\n");
    fs::create_directories(dir.file("sys/block/sdb/sdb1/holders/dm-0"));
    const std::string image = dir.file("card.img");
    testutil::writeText(image, "card");
    fs::create_hard_link(image, dir.file("other-name.img"));
    testutil::writeText(dir.file("sdb2"), "a file, not the partition");
    text("block/loop1/loop/backing_file", dir.file("node-of-sdb2") + "\n");
    text("block/loop2/loop/backing_file", dir.file("sdb2") + "\n");
    text("block/loop3/loop/backing_file", dir.file("other-name.img") + "\n");
    const BlockDevices sys = system();

    EXPECT_EQ(sys.loopsOnFile(image), std::vector<std::string>{"/dev/loop3"});
    EXPECT_EQ(sys.loopsOnFile(dir.file("sdb2")), std::vector<std::string>{"/dev/loop2"});
    EXPECT_TRUE(sys.loopsOnFile(dir.file("mounts")).empty());
    EXPECT_TRUE(sys.usersOf("sda").empty());
    const std::string held =
        "/dev/sdb1 is held by /dev/dm-0 (a device-mapper, RAID or other device "
        "built on it)";
    if (::mknod(dir.file("node-of-sdb2").c_str(), S_IFBLK | 0600, makedev(8, 18)) != 0) {
        EXPECT_EQ(describeAll(sys.usersOf("sdb")), held);
        GTEST_SKIP() << "no block device node can be made here (needs root)";
    }
    EXPECT_EQ(describeAll(sys.usersOf("sdb")),
              held + "; /dev/sdb2 is attached to /dev/loop1 (losetup -d /dev/loop1 detaches it)");
}

TEST_F(FakeSysfs, TellsTheDiskThatHoldsAFile) {
    struct stat info;
    ASSERT_EQ(::stat(dir.file("mounts").c_str(), &info), 0);
    fs::create_directories(dir.file("sys/dev/block"));
    fs::create_directory_symlink(dir.file("sys/block/sdb/sdb2"),
                                 dir.file("sys/dev/block/" + std::to_string(major(info.st_dev)) +
                                          ":" + std::to_string(minor(info.st_dev))));
    EXPECT_EQ(system().diskOfFile(dir.file("mounts")), "sdb");
    EXPECT_EQ(system().diskOfFile(dir.file("nosuch")), "");
}

TEST(BlockDevices, NoSysfsListsNothing) {
    testutil::TempDir dir;
    EXPECT_TRUE(BlockDevices(dir.file("none"), dir.file("none")).cardReaders().empty());
}

}  // namespace

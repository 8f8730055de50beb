// Whole-disk block devices on Linux, as sysfs and the mount table describe
// them: what qlupdate lists as card readers and checks before writing one.
// POSIX build only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct BlockDevice {
    std::string name;   // "sdb", "mmcblk0", "loop3"
    std::string path;   // "/dev/" + name
    uint64_t size = 0;  // bytes; 0 when a reader holds no card
    std::string vendor;
    std::string model;
    bool removable = false;
    bool usb = false;
    bool mmc = false;
    // Mount points of the disk itself and of its partitions, in mount order;
    // mountedFrom[i] is the node mounted at mounts[i] ("/dev/sdb1").
    std::vector<std::string> mounts;
    std::vector<std::string> mountedFrom;

    bool isCardReader() const { return removable || usb || mmc; }
};

// A device built on a disk or on one of its partitions, which would see the
// update change its bytes underneath it.
struct DiskUser {
    std::string used;   // "/dev/sdb2", or the disk itself
    std::string by;     // "/dev/loop7", "/dev/dm-0"
    bool loop = false;  // a loop device's file; else a holder (device-mapper, RAID)

    // "/dev/sdb2 is attached to /dev/loop7 (losetup -d /dev/loop7 detaches it)"
    std::string describe() const;
};

// The users' descriptions, one after the other ("...; ...").
std::string describeAll(const std::vector<DiskUser>& users);

class BlockDevices {
public:
    // The roots are injectable so that a test can describe a machine of its own.
    explicit BlockDevices(std::string sysRoot = "/sys",
                          std::string mountsFile = "/proc/self/mounts")
        : sysRoot(std::move(sysRoot)), mountsFile(std::move(mountsFile)) {}

    // The removable, USB and MMC disks, sorted by name.
    std::vector<BlockDevice> cardReaders() const;
    // Fills device for the whole disk called name ("sdb"); false when sysfs
    // has no such disk.
    bool describe(const std::string& name, BlockDevice& device) const;
    // sysfs's name of the block device with that device number ("sdb",
    // "sdb1"), whatever a node of it is called; empty when there is none.
    std::string nameOf(uint64_t deviceNumber) const;
    // The disk that holds partition name ("sdb1" gives "sdb"); empty when
    // name is no partition.
    std::string diskOfPartition(const std::string& name) const;
    // The whole disk ("sdb") that holds the file system of the file at path;
    // empty when it is on no block device (tmpfs, a network share).
    std::string diskOfFile(const std::string& path) const;
    // The loop devices attached to disk ("sdb") or to one of its partitions,
    // and the holders of either. The loops' files are compared as device
    // numbers, so any name of the node counts.
    std::vector<DiskUser> usersOf(const std::string& disk) const;
    // The loop devices ("/dev/loop7") whose file is the one at path: the same
    // st_dev and st_ino, under whatever name.
    std::vector<std::string> loopsOnFile(const std::string& path) const;
    // The read-write mounts, through loop devices on the file at path (or
    // their partitions), of file systems over its bytes [offset, offset +
    // length): "/mnt/x (/dev/loop3p2)". What is mounted so may change under
    // a reader.
    std::vector<std::string> writableMountsOver(const std::string& path, uint64_t offset,
                                                uint64_t length) const;

private:
    std::string read(const std::string& path) const;
    // Each loop device's name and the stat of its file; loops without a file,
    // or whose file is gone, are left out.
    template <typename Fn>
    void forEachLoopFile(Fn fn) const;
    void readMounts(const std::string& disk, const std::vector<std::string>& partitions,
                    BlockDevice& device) const;

    std::string sysRoot;
    std::string mountsFile;
};

// Unmounts every mount point of device, in reverse mount order, adding each
// to unmounted. False, with one log line and why ("cannot unmount /mnt/x
// (/dev/sdb1): Device or resource busy"), at the first one the system
// refuses; those before it stay unmounted.
bool unmountAll(const BlockDevice& device, std::vector<std::string>& unmounted, std::string& why);

namespace rawdevice {
// Makes devicePath the one physical drive the raw-storage calls open: every
// drive-letter volume and "\\.\PHYSICALDRIVE0" then mean this device. With
// unmountWhenClaimed its file systems may be mounted until claimDisk, right
// before the first write, unmounts them; until then the disk is opened
// without O_EXCL, which a mounted disk refuses.
void useBlockDevice(const std::string& devicePath, bool unmountWhenClaimed = false);
// The mount points claimDisk unmounted, in the order it did.
std::vector<std::string> unmountedPoints();
}  // namespace rawdevice

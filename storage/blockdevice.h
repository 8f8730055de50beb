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
    // Mount points of the disk itself and of its partitions.
    std::vector<std::string> mounts;

    bool isCardReader() const { return removable || usb || mmc; }
};

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
    // The disk that holds partition name ("sdb1" gives "sdb"); empty when
    // name is no partition.
    std::string diskOfPartition(const std::string& name) const;

private:
    std::string read(const std::string& path) const;
    std::vector<std::string> mountsOf(const std::string& disk,
                                      const std::vector<std::string>& partitions) const;

    std::string sysRoot;
    std::string mountsFile;
};

// Unmounts every mount point of device, in reverse mount order. False, with
// one log line, at the first one the system refuses (for example while it is
// busy); those before it stay unmounted.
bool unmountAll(const BlockDevice& device);

namespace rawdevice {
// Makes devicePath the one physical drive the raw-storage calls open: every
// drive-letter volume and "\\.\PHYSICALDRIVE0" then mean this device.
void useBlockDevice(const std::string& devicePath);
}  // namespace rawdevice

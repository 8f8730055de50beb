#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/carddevice.h"
#include "common/common.h"
#include "storage/blockdevice.h"

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : ", ") + item;
    }
    return out;
}

}  // namespace

int listCards() {
    const std::vector<BlockDevice> readers = BlockDevices().cardReaders();
    if (readers.empty()) {
        std::fprintf(stderr, "no card readers (removable, USB or MMC disks)\n");
    }
    for (const BlockDevice& device : readers) {
        char size[32] = "no card";
        if (device.size != 0) {
            std::snprintf(size, sizeof size, "%.1f GB", static_cast<double>(device.size) / 1e9);
        }
        std::string label = device.vendor;
        label += (label.empty() || device.model.empty() ? "" : " ") + device.model;
        const std::string mounted =
            device.mounts.empty() ? "not mounted" : "mounted on " + joined(device.mounts);
        std::printf("%-16s %10s  %-28s %s\n", device.path.c_str(), size,
                    label.empty() ? "-" : label.c_str(), mounted.c_str());
    }
    return kExitOk;
}

int prepareDevice(const ApplyOptions& options) {
    const char* given = options.device.c_str();
    struct stat info;
    char real[PATH_MAX];
    if (::stat(given, &info) != 0 || ::realpath(given, real) == nullptr) {
        std::fprintf(stderr, "qlupdate: cannot find %s: %s\n", given, std::strerror(errno));
        return kExitUsage;
    }
    if (!S_ISBLK(info.st_mode)) {
        std::fprintf(stderr,
                     "qlupdate: %s is not a block device; give an image file without --device\n",
                     given);
        return kExitUsage;
    }
    const std::string path = real;
    const BlockDevices system;
    // The node's device number says which device it is, whatever its name:
    // a node made with mknod, or one named like another disk.
    const std::string name = system.nameOf(info.st_rdev);
    BlockDevice device;
    if (!system.describe(name, device)) {
        const std::string disk = system.diskOfPartition(name);
        if (!disk.empty()) {
            std::fprintf(stderr,
                         "qlupdate: %s is a partition; give the whole card, /dev/%s; nothing "
                         "was written\n",
                         given, disk.c_str());
        } else {
            std::fprintf(stderr, "qlupdate: %s is not a whole disk; nothing was written\n", given);
        }
        return kExitUsage;
    }
    if (!device.isCardReader() && !options.anyDevice) {
        std::fprintf(stderr,
                     "qlupdate: %s is not a removable, USB or MMC disk; nothing was written "
                     "(--any-device writes to it anyway)\n",
                     given);
        return kExitUsage;
    }
    // Detaching is the user's to do: --unmount would not help.
    const std::vector<DiskUser> users = system.usersOf(name);
    if (!users.empty()) {
        std::fprintf(stderr, "qlupdate: %s; nothing was written\n", describeAll(users).c_str());
        return kExitUsage;
    }
    if (!device.mounts.empty() && !options.unmount) {
        std::fprintf(stderr,
                     "qlupdate: %s is mounted on %s; nothing was written (--unmount "
                     "unmounts it first)\n",
                     given, joined(device.mounts).c_str());
        return kExitUsage;
    }
    // Unmounted only once the update file has been verified, right before
    // the first write: a broken file leaves the card as it was.
    rawdevice::useBlockDevice(path, !device.mounts.empty());
    return kExitOk;
}

int prepareImage(const ApplyOptions& options) {
    const std::vector<std::string> loops = BlockDevices().loopsOnFile(options.targetImage);
    if (loops.empty()) {
        return kExitOk;
    }
    std::string command;
    for (const std::string& loop : loops) {
        command += " " + loop;
    }
    std::fprintf(stderr,
                 "qlupdate: %s is attached to %s (losetup -d%s detaches %s); nothing was "
                 "written\n",
                 options.targetImage.c_str(), joined(loops).c_str(), command.c_str(),
                 loops.size() == 1 ? "it" : "them");
    return kExitUsage;
}

int checkCardImage(const std::string& path, uint64_t offset, uint64_t size) {
    const std::vector<std::string> mounts = BlockDevices().writableMountsOver(path, offset, size);
    if (mounts.empty()) {
        return kExitOk;
    }
    std::fprintf(stderr,
                 "qlupdate: the root partition of %s is mounted read-write on %s, so it may "
                 "change while it is read; unmount it (or mount it read-only) first\n",
                 path.c_str(), joined(mounts).c_str());
    return kExitUsage;
}

void reportUnmounted() {
    const std::vector<std::string> points = rawdevice::unmountedPoints();
    if (!points.empty()) {
        std::fprintf(stderr, "unmounted %s\n", joined(points).c_str());
    }
}

const char* const kCardOption = "--device";

void startPlatform() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number: fd itself, as those below are open.
            const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null != fd) {
                if (null >= 0) {
                    ::close(null);
                }
                std::_Exit(kExitFailure);  // no safe place for the log
            }
        }
    }
}

// Not on Linux: run qlupdate under systemd-inhibit to keep a desktop awake.
void keepAwake(bool) {}

#include "storage/blockdevice.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "common/common.h"

namespace {

const char* const kModule = "blockdevice";

std::string trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return s.substr(first, s.find_last_not_of(" \t\n") - first + 1);
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                names.push_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// The mount table escapes blanks and backslashes as octal ("\040").
std::string unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> partitionsIn(const std::string& diskDir) {
    std::vector<std::string> partitions;
    for (const std::string& entry : entries(diskDir)) {
        if (exists(diskDir + "/" + entry + "/partition")) {
            partitions.push_back(entry);
        }
    }
    return partitions;
}

}  // namespace

std::string DiskUser::describe() const {
    if (loop) {
        return used + " is attached to " + by + " (losetup -d " + by + " detaches it)";
    }
    return used + " is held by " + by + " (a device-mapper, RAID or other device built on it)";
}

std::string describeAll(const std::vector<DiskUser>& users) {
    std::string text;
    for (const DiskUser& user : users) {
        text += (text.empty() ? "" : "; ") + user.describe();
    }
    return text;
}

std::string BlockDevices::read(const std::string& path) const {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return trim(text.str());
}

std::vector<BlockDevice> BlockDevices::cardReaders() const {
    std::vector<BlockDevice> readers;
    for (const std::string& name : entries(sysRoot + "/block")) {
        BlockDevice device;
        if (describe(name, device) && device.isCardReader()) {
            readers.push_back(device);
        }
    }
    return readers;
}

bool BlockDevices::describe(const std::string& name, BlockDevice& device) const {
    const std::string dir = sysRoot + "/block/" + name;
    if (name.empty() || name.find('/') != std::string::npos || !exists(dir + "/size")) {
        return false;
    }
    device = BlockDevice();
    device.name = name;
    device.path = "/dev/" + name;
    // sysfs counts 512-byte units whatever the sector size.
    device.size = std::strtoull(read(dir + "/size").c_str(), nullptr, 10) * 512;
    device.removable = read(dir + "/removable") == "1";
    // The bus shows in the path of the device behind the disk.
    const std::string bus = resolved(dir + "/device");
    device.usb = bus.find("/usb") != std::string::npos;
    device.mmc = name.compare(0, 6, "mmcblk") == 0 || bus.find("/mmc") != std::string::npos;
    device.vendor = read(dir + "/device/vendor");
    device.model = read(dir + "/device/model");
    if (device.model.empty()) {
        device.model = read(dir + "/device/name");  // MMC cards name themselves here
    }
    readMounts(name, partitionsIn(dir), device);
    return true;
}

std::string BlockDevices::nameOf(uint64_t deviceNumber) const {
    const dev_t number = static_cast<dev_t>(deviceNumber);
    const std::string dir = resolved(sysRoot + "/dev/block/" + std::to_string(major(number)) + ":" +
                                     std::to_string(minor(number)));
    return dir.empty() ? std::string() : baseName(dir);
}

std::string BlockDevices::diskOfPartition(const std::string& name) const {
    const std::string dir = sysRoot + "/class/block/" + name;
    if (name.empty() || name.find('/') != std::string::npos || !exists(dir + "/partition")) {
        return std::string();
    }
    // The partition's folder sits inside its disk's.
    return baseName(resolved(dir + "/.."));
}

std::string BlockDevices::diskOfFile(const std::string& path) const {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        return std::string();
    }
    const std::string dir = resolved(sysRoot + "/dev/block/" + std::to_string(major(info.st_dev)) +
                                     ":" + std::to_string(minor(info.st_dev)));
    if (dir.empty()) {
        return std::string();
    }
    return baseName(exists(dir + "/partition") ? resolved(dir + "/..") : dir);
}

template <typename Fn>
void BlockDevices::forEachLoopFile(Fn fn) const {
    for (const std::string& name : entries(sysRoot + "/block")) {
        const std::string file = read(sysRoot + "/block/" + name + "/loop/backing_file");
        struct stat info;
        if (!file.empty() && ::stat(file.c_str(), &info) == 0) {
            fn(name, info);
        }
    }
}

std::vector<DiskUser> BlockDevices::usersOf(const std::string& disk) const {
    std::vector<DiskUser> users;
    const std::string dir = sysRoot + "/block/" + disk;
    if (disk.empty() || disk.find('/') != std::string::npos || !exists(dir)) {
        return users;
    }
    std::vector<std::string> names = partitionsIn(dir);
    names.insert(names.begin(), disk);
    std::map<dev_t, std::string> numbers;
    for (const std::string& name : names) {
        const std::string folder = name == disk ? dir : dir + "/" + name;
        unsigned int maj = 0, min = 0;
        if (std::sscanf(read(folder + "/dev").c_str(), "%u:%u", &maj, &min) == 2) {
            numbers[makedev(maj, min)] = name;
        }
        for (const std::string& holder : entries(folder + "/holders")) {
            users.push_back(DiskUser{"/dev/" + name, "/dev/" + holder, false});
        }
    }
    forEachLoopFile([&](const std::string& loop, const struct stat& file) {
        const auto it = numbers.find(file.st_rdev);
        if (S_ISBLK(file.st_mode) && it != numbers.end()) {
            users.push_back(DiskUser{"/dev/" + it->second, "/dev/" + loop, true});
        }
    });
    return users;
}

std::vector<std::string> BlockDevices::loopsOnFile(const std::string& path) const {
    std::vector<std::string> loops;
    struct stat target;
    if (::stat(path.c_str(), &target) != 0) {
        return loops;
    }
    forEachLoopFile([&](const std::string& loop, const struct stat& file) {
        if (file.st_dev == target.st_dev && file.st_ino == target.st_ino) {
            loops.push_back("/dev/" + loop);
        }
    });
    return loops;
}

std::vector<std::string> BlockDevices::writableMountsOver(const std::string& path, uint64_t offset,
                                                          uint64_t length) const {
    std::vector<std::string> found;
    struct stat target;
    if (::stat(path.c_str(), &target) != 0) {
        return found;
    }
    // The nodes whose bytes overlap the range: a loop device starts at its
    // offset in the file, and each of its partitions at its start in it.
    std::vector<std::string> over;
    const auto number = [&](const std::string& file) {
        return std::strtoull(read(file).c_str(), nullptr, 10);
    };
    forEachLoopFile([&](const std::string& loop, const struct stat& file) {
        if (file.st_dev != target.st_dev || file.st_ino != target.st_ino) {
            return;
        }
        const std::string dir = sysRoot + "/block/" + loop;
        const uint64_t base = number(dir + "/loop/offset");
        const auto overlaps = [&](uint64_t start, uint64_t size) {
            return start < offset + length && offset < start + size;
        };
        // sysfs counts 512-byte units whatever the sector size.
        if (overlaps(base, number(dir + "/size") * 512)) {
            over.push_back(loop);
        }
        for (const std::string& part : partitionsIn(dir)) {
            if (overlaps(base + number(dir + "/" + part + "/start") * 512,
                         number(dir + "/" + part + "/size") * 512)) {
                over.push_back(part);
            }
        }
    });
    if (over.empty()) {
        return found;
    }
    std::ifstream in(mountsFile);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string source, point, type, options;
        if (!(fields >> source >> point >> type >> options) || source.empty() || source[0] != '/' ||
            (options != "rw" && options.compare(0, 3, "rw,") != 0)) {
            continue;
        }
        const std::string node = resolved(unescape(source));
        const std::string name = baseName(node.empty() ? unescape(source) : node);
        if (std::find(over.begin(), over.end(), name) != over.end()) {
            found.push_back(unescape(point) + " (/dev/" + name + ")");
        }
    }
    return found;
}

void BlockDevices::readMounts(const std::string& disk, const std::vector<std::string>& partitions,
                              BlockDevice& device) const {
    std::ifstream in(mountsFile);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string source, point;
        if (!(fields >> source >> point) || source.empty() || source[0] != '/') {
            continue;
        }
        source = unescape(source);
        // /dev/disk/by-... and /dev/mapper names lead to the node itself.
        const std::string node = resolved(source);
        const std::string name = baseName(node.empty() ? source : node);
        if (name == disk ||
            std::find(partitions.begin(), partitions.end(), name) != partitions.end()) {
            device.mounts.push_back(unescape(point));
            device.mountedFrom.push_back("/dev/" + name);
        }
    }
}

bool unmountAll(const BlockDevice& device, std::vector<std::string>& unmounted, std::string& why) {
    for (size_t i = device.mounts.size(); i-- > 0;) {
        const std::string& point = device.mounts[i];
        if (::umount2(point.c_str(), 0) != 0) {
            why = "cannot unmount " + point + " (" + device.mountedFrom[i] +
                  "): " + std::strerror(errno);
            debugLog("%s : %s\n", kModule, why.c_str());
            return false;
        }
        debugLog("%s : unmounted %s (%s)\n", kModule, point.c_str(), device.mountedFrom[i].c_str());
        unmounted.push_back(point);
    }
    return true;
}

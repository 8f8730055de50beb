#include "storage/blockdevice.h"

#include <dirent.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

}  // namespace

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
    std::vector<std::string> partitions;
    for (const std::string& entry : entries(dir)) {
        if (exists(dir + "/" + entry + "/partition")) {
            partitions.push_back(entry);
        }
    }
    device.mounts = mountsOf(name, partitions);
    return true;
}

std::string BlockDevices::diskOfPartition(const std::string& name) const {
    const std::string dir = sysRoot + "/class/block/" + name;
    if (name.empty() || name.find('/') != std::string::npos || !exists(dir + "/partition")) {
        return std::string();
    }
    // The partition's folder sits inside its disk's.
    return baseName(resolved(dir + "/.."));
}

std::vector<std::string> BlockDevices::mountsOf(const std::string& disk,
                                                const std::vector<std::string>& partitions) const {
    std::vector<std::string> points;
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
            points.push_back(unescape(point));
        }
    }
    return points;
}

bool unmountAll(const BlockDevice& device) {
    for (auto it = device.mounts.rbegin(); it != device.mounts.rend(); ++it) {
        if (::umount2(it->c_str(), 0) != 0) {
            debugLog("%s : cannot unmount %s of %s: %s\n", kModule, it->c_str(),
                     device.path.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "storage/rawdevice.h"
#include "tests/support/fake_platform.h"

namespace fakeplatform {
namespace {

struct OpenHandle {
    bool isVolume;
    char letter;
    FILE* file;
};

std::map<char, Disk>& disks() {
    static std::map<char, Disk> d;
    return d;
}
std::map<rawdevice::Handle, OpenHandle>& handles() {
    static std::map<rawdevice::Handle, OpenHandle> h;
    return h;
}
rawdevice::Handle nextHandle = 100;
int locks = 0;
int dismounts = 0;

const Disk* diskByNumber(int number, char* letterOut) {
    for (auto& entry : disks()) {
        if (entry.second.diskNumber == number) {
            *letterOut = entry.first;
            return &entry.second;
        }
    }
    return nullptr;
}

}  // namespace

void addDrive(char letter, const Disk& disk) {
    disks()[letter] = disk;
}

void reset() {
    for (auto& h : handles()) {
        if (h.second.file != nullptr) {
            std::fclose(h.second.file);
        }
    }
    handles().clear();
    disks().clear();
    locks = 0;
    dismounts = 0;
    volume() = Volume();
}

int lockCalls() {
    return locks;
}
int dismountCalls() {
    return dismounts;
}
int openHandles() {
    return static_cast<int>(handles().size());
}

Volume& volume() {
    static Volume v;
    return v;
}

}  // namespace fakeplatform

namespace rawdevice {

using namespace fakeplatform;

Handle openVolume(const char* volumePath, bool) {
    // "\\.\X:" names drive X.
    const std::string path(volumePath);
    if (path.size() != 6 || path.compare(0, 4, "\\\\.\\") != 0 || path[5] != ':') {
        return kInvalidHandle;
    }
    auto it = disks().find(path[4]);
    if (it == disks().end() || !it->second.volumeOpens) {
        return kInvalidHandle;
    }
    const Handle h = nextHandle++;
    handles()[h] = OpenHandle{true, path[4], nullptr};
    return h;
}

bool getDiskExtents(Handle volume, uint32_t& numberOfExtents, int32_t& firstDiskNumber) {
    auto it = handles().find(volume);
    if (it == handles().end() || !it->second.isVolume) {
        return false;
    }
    const Disk& d = disks()[it->second.letter];
    if (d.extentsFail) {
        return false;
    }
    numberOfExtents = d.numberOfExtents;
    firstDiskNumber = d.diskNumber;
    return true;
}

bool getDriveGeometry(Handle handle, DriveGeometry& g) {
    auto it = handles().find(handle);
    if (it == handles().end()) {
        return false;
    }
    const Disk& d = disks()[it->second.letter];
    if (d.geometryFails) {
        return false;
    }
    uint64_t size = d.diskSize;
    if (size == 0 && !d.backingFile.empty()) {
        // ftell is 32-bit on Windows; backing files may be larger.
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(d.backingFile, ec);
        size = ec ? 0 : static_cast<uint64_t>(bytes);
    }
    g = DriveGeometry();
    g.bytesPerSector = d.bytesPerSector;
    g.diskSize = size;
    g.sectorsPerTrack = 63;
    g.tracksPerCylinder = 255;
    g.cylinders = static_cast<int64_t>(size / (512ull * 63 * 255));
    g.mediaType = 11;  // RemovableMedia
    g.partitionStyle = d.partitionStyle;
    g.mbrSignature = 0x12345678u;
    g.detectionType = 0;
    return true;
}

std::string physicalDrivePath(int number) {
    return "\\\\.\\PHYSICALDRIVE" + std::to_string(number);
}

Handle openPhysicalDrive(const char* path) {
    int number = -1;
    if (std::sscanf(path, "\\\\.\\PHYSICALDRIVE%d", &number) != 1) {
        return kInvalidHandle;
    }
    char letter = 0;
    const Disk* d = diskByNumber(number, &letter);
    if (d == nullptr || d->backingFile.empty()) {
        return kInvalidHandle;
    }
    FILE* f = std::fopen(d->backingFile.c_str(), "rb");
    if (f == nullptr) {
        return kInvalidHandle;
    }
    const Handle h = nextHandle++;
    handles()[h] = OpenHandle{false, letter, f};
    return h;
}

FILE* openForCopy(const char* physicalDrivePath) {
    // A drive this fake knows writes its backing file; any other path (an
    // image, /dev/full) is opened as it is.
    int number = -1;
    char letter = 0;
    const Disk* d = nullptr;
    if (std::sscanf(physicalDrivePath, "\\\\.\\PHYSICALDRIVE%d", &number) == 1) {
        d = diskByNumber(number, &letter);
    }
    const bool backed = d != nullptr && !d->backingFile.empty();
    return std::fopen(backed ? d->backingFile.c_str() : physicalDrivePath, "rb+");
}

bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t& bytesRead) {
    bytesRead = 0;
    auto it = handles().find(handle);
    if (it == handles().end() || it->second.file == nullptr) {
        return false;
    }
    if (disks()[it->second.letter].readFails) {
        return false;
    }
    bytesRead = static_cast<uint32_t>(std::fread(buffer, 1, length, it->second.file));
    return true;
}

bool lockVolume(Handle volume) {
    ++locks;
    auto it = handles().find(volume);
    return it != handles().end() && it->second.isVolume && !disks()[it->second.letter].lockRefused;
}

bool dismountVolume(Handle volume) {
    auto it = handles().find(volume);
    if (it == handles().end() || !it->second.isVolume ||
        disks()[it->second.letter].dismountRefused) {
        return false;
    }
    ++dismounts;
    return true;
}

void closeHandle(Handle handle) {
    auto it = handles().find(handle);
    if (it == handles().end()) {
        return;
    }
    if (it->second.file != nullptr) {
        std::fclose(it->second.file);
    }
    handles().erase(it);
}

uint32_t logicalDrives() {
    uint32_t mask = 0;
    for (auto& entry : disks()) {
        mask |= 1u << (entry.first - 'A');
    }
    return mask;
}

uint32_t driveType(const char* rootPath) {
    auto it = disks().find(rootPath[0]);
    return it == disks().end() ? 1u /* DRIVE_NO_ROOT_DIR */ : it->second.driveType;
}

}  // namespace rawdevice

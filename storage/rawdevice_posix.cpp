// On Linux the drive calls reach one block device that qlupdate chose
// (useBlockDevice): there are no drive letters, so every volume and physical
// drive name means that device. Without one, every lookup fails, so naming a
// drive is refused by DeviceInfo with its usual log line.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/common.h"
#include "storage/blockdevice.h"
#include "storage/rawdevice.h"

namespace {

const char* const kModule = "rawdevice";

thread_local rawdevice::Error failure;

void remember(int error) {
    failure.fault = error == ENOMEDIUM || error == ENODEV || error == ENXIO ? rawdevice::Fault::Gone
                    : error == EROFS                    ? rawdevice::Fault::WriteProtected
                    : error == EACCES || error == EPERM ? rawdevice::Fault::AccessDenied
                    : error == EBUSY                    ? rawdevice::Fault::Busy
                                                        : rawdevice::Fault::Other;
    failure.text = std::strerror(error);
}

rawdevice::Error lastFailure() {
    return failure;
}

std::string& chosenDevice() {
    static std::string path;
    return path;
}

// O_EXCL makes the kernel refuse a device that is mounted or held by another
// exclusive opener, so the card cannot change under the update. Only the
// held disk claims it; the volume queries beside it must not.
int openChosen(int flags, bool exclusive = true) {
    const std::string& path = chosenDevice();
    if (path.empty()) {
        return -1;
    }
    const int fd = ::open(path.c_str(), flags | (exclusive ? O_EXCL : 0) | O_CLOEXEC);
    if (fd < 0) {
        debugLog("%s : open %s fail %s\n", kModule, path.c_str(), std::strerror(errno));
    }
    return fd;
}

}  // namespace

namespace rawdevice {

void useBlockDevice(const std::string& devicePath) {
    chosenDevice() = devicePath;
}

Handle openVolume(const char*, bool) {
    return openChosen(O_RDONLY, false);
}

bool getDiskExtents(Handle volume, uint32_t& numberOfExtents, int32_t& firstDiskNumber) {
    if (volume == kInvalidHandle) {
        return false;
    }
    numberOfExtents = 1;
    firstDiskNumber = 0;
    return true;
}

bool getDriveGeometry(Handle handle, DriveGeometry& geometry) {
    const int fd = static_cast<int>(handle);
    int sectorSize = 0;
    uint64_t size = 0;
    if (::ioctl(fd, BLKSSZGET, &sectorSize) != 0 || ::ioctl(fd, BLKGETSIZE64, &size) != 0 ||
        sectorSize <= 0) {
        debugLog("%s : %s is no block device: %s\n", kModule, chosenDevice().c_str(),
                 std::strerror(errno));
        return false;
    }
    geometry = DriveGeometry();
    geometry.bytesPerSector = static_cast<uint32_t>(sectorSize);
    geometry.diskSize = size;
    // Linux has no partition-style query; the boot sector's signature and a
    // protective GPT entry tell the same.
    uint8_t sector[512];
    if (::pread(fd, sector, sizeof sector, 0) != static_cast<ssize_t>(sizeof sector)) {
        debugLog("%s : read sector 0 of %s fail %s\n", kModule, chosenDevice().c_str(),
                 std::strerror(errno));
        return false;
    }
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        geometry.partitionStyle = 2;
    } else if (sector[446 + 4] == 0xEE) {
        geometry.partitionStyle = 1;
    } else {
        geometry.partitionStyle = 0;
        std::memcpy(&geometry.mbrSignature, sector + 440, 4);
    }
    return true;
}

std::string physicalDrivePath(int) {
    return chosenDevice();
}

Handle openPhysicalDrive(const char* path) {
    if (chosenDevice().empty() || path != chosenDevice()) {
        return kInvalidHandle;
    }
    return openChosen(O_RDONLY);
}

Error lastError() {
    return lastFailure();
}

void clearLastError() {
    failure = Error();
}

Handle openDisk(const char* path) {
    if (chosenDevice().empty() || path != chosenDevice()) {
        remember(ENODEV);
        return kInvalidHandle;
    }
    const int fd = openChosen(O_RDWR);
    if (fd < 0) {
        remember(errno);
    }
    return fd;
}

// One device, number 0: the one qlupdate chose.
bool getDeviceNumber(Handle handle, int32_t& number) {
    if (handle == kInvalidHandle) {
        return false;
    }
    number = 0;
    return true;
}

bool readAt(Handle disk, uint64_t offset, void* buffer, uint32_t length) {
    const ssize_t got = ::pread(static_cast<int>(disk), buffer, length, static_cast<off_t>(offset));
    if (got != static_cast<ssize_t>(length)) {
        remember(got < 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool writeAt(Handle disk, uint64_t offset, const void* buffer, uint32_t length) {
    const ssize_t put =
        ::pwrite(static_cast<int>(disk), buffer, length, static_cast<off_t>(offset));
    if (put != static_cast<ssize_t>(length)) {
        remember(put < 0 ? errno : ENOSPC);
        return false;
    }
    return true;
}

// The read-back must meet the card, not the page cache: once synced, the
// device's cached pages are dropped.
bool flush(Handle disk) {
    if (::fsync(static_cast<int>(disk)) != 0) {
        remember(errno);
        return false;
    }
    ::posix_fadvise(static_cast<int>(disk), 0, 0, POSIX_FADV_DONTNEED);
    return true;
}

bool isWritable(Handle disk) {
    int readOnly = 0;
    if (::ioctl(static_cast<int>(disk), BLKROGET, &readOnly) != 0) {
        remember(errno);
        return false;
    }
    if (readOnly != 0) {
        remember(EROFS);
        return false;
    }
    return true;
}

// qlupdate unmounts the card's file systems itself, and O_EXCL keeps them off.
std::vector<DiskVolume> volumesOnDisk(int32_t) {
    return {};
}

bool diskOfPath(const char*, int32_t&) {
    return false;
}

bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t& bytesRead) {
    bytesRead = 0;
    const ssize_t got = ::read(static_cast<int>(handle), buffer, length);
    if (got < 0) {
        debugLog("%s : read fail %s\n", kModule, std::strerror(errno));
        return false;
    }
    bytesRead = static_cast<uint32_t>(got);
    return true;
}

// qlupdate unmounts a device's file systems itself before it names it, and
// O_EXCL keeps them off while it is open.
bool lockVolume(Handle handle) {
    return handle != kInvalidHandle;
}
bool dismountVolume(Handle handle) {
    return handle != kInvalidHandle;
}
void closeHandle(Handle handle) {
    if (handle != kInvalidHandle) {
        ::close(static_cast<int>(handle));
    }
}
// qlupdate checks a device's bus and mounts itself (blockdevice).
uint32_t busType(Handle) {
    return 0;
}
std::string systemFolder() {
    return "/";
}
bool hasMedia(const char*) {
    return !chosenDevice().empty();
}
uint32_t logicalDrives() {
    return 0;
}
uint32_t driveType(const char*) {
    return 0;
}

}  // namespace rawdevice

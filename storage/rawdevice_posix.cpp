// On Linux the drive calls reach one block device that qlupdate chose
// (useBlockDevice): there are no drive letters, so every volume and physical
// drive name means that device. Without one, every lookup fails, so naming a
// drive is refused by DeviceInfo with its usual log line.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/common.h"
#include "storage/blockdevice.h"
#include "storage/rawdevice.h"

namespace {

const char* const kModule = "rawdevice";

thread_local rawdevice::Error failure;

rawdevice::Fault faultOf(int error) {
    return error == ENOMEDIUM || error == ENODEV || error == ENXIO ? rawdevice::Fault::Gone
           : error == EROFS                    ? rawdevice::Fault::WriteProtected
           : error == EACCES || error == EPERM ? rawdevice::Fault::AccessDenied
           : error == EBUSY                    ? rawdevice::Fault::Busy
                                               : rawdevice::Fault::Other;
}

void remember(int error) {
    failure.fault = faultOf(error);
    failure.text = std::strerror(error);
    failure.reason.clear();
}

rawdevice::Error lastFailure() {
    return failure;
}

struct Chosen {
    std::string path;
    bool unmountPending = false;  // mounted, and qlupdate may unmount it
    std::vector<std::string> unmounted;
};

Chosen& chosen() {
    static Chosen device;
    return device;
}

// Why the chosen device cannot be opened, in words that say what holds it.
std::string openFailureText(int error) {
    const char* path = chosen().path.c_str();
    switch (error) {
        case EBUSY:
            return formatText(
                "%s is in use: another program holds it, or a file system on it is mounted "
                "(perhaps in another mount namespace)",
                path);
        case ENOMEDIUM:
            return formatText("%s holds no card", path);
        case EACCES:
        case EPERM:
            return formatText("%s cannot be opened (%s): run qlupdate as root", path,
                              std::strerror(error));
        default:
            return formatText("%s cannot be opened (%s)", path, std::strerror(error));
    }
}

// The chosen device could not be opened: the fault, and what the user reads.
void refuse(int error, const std::string& why) {
    remember(error);
    failure.reason = why + "; nothing was written";
}

// O_EXCL makes the kernel refuse a device that is mounted or held by another
// exclusive opener, so the card cannot change under the update. Only the
// held disk claims it; the volume queries beside it must not.
int openChosen(int flags, bool exclusive = true) {
    const std::string& path = chosen().path;
    if (path.empty()) {
        remember(ENODEV);
        return -1;
    }
    const int fd = ::open(path.c_str(), flags | (exclusive ? O_EXCL : 0) | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        debugLog("%s : open %s fail %s\n", kModule, path.c_str(), std::strerror(error));
        refuse(error, openFailureText(error));
    }
    return fd;
}

bool claimFails(rawdevice::Error& error, rawdevice::Fault fault, const std::string& why) {
    error.fault = fault;
    error.text = why;
    debugLog("%s : %s\n", kModule, why.c_str());
    return false;
}

// A loop device or a device-mapper target over the card would have its
// bytes changed underneath it, and O_EXCL does not keep a loop device off.
bool noOtherUsers(const BlockDevices& system, const std::string& name, rawdevice::Error& error) {
    const std::vector<DiskUser> users = system.usersOf(name);
    return users.empty() || claimFails(error, rawdevice::Fault::Busy, describeAll(users));
}

// Opens the device again with O_EXCL and puts that descriptor in place of
// the held one, so that the job's handle stays valid and now excludes others.
bool takeExclusively(int held, rawdevice::Error& error) {
    const std::string& path = chosen().path;
    const int fd = ::open(path.c_str(), O_RDWR | O_EXCL | O_DIRECT | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        return claimFails(error, faultOf(e), openFailureText(e));
    }
    struct stat before, now;
    if (::fstat(held, &before) != 0 || ::fstat(fd, &now) != 0 || before.st_rdev != now.st_rdev) {
        ::close(fd);
        return claimFails(error, rawdevice::Fault::Gone,
                          path + " is no longer the device that was checked");
    }
    if (::dup3(fd, held, O_CLOEXEC) < 0) {
        const int e = errno;
        ::close(fd);
        return claimFails(
            error, faultOf(e),
            formatText("%s cannot be taken over (%s)", path.c_str(), std::strerror(e)));
    }
    ::close(fd);
    return true;
}

std::string nameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

namespace rawdevice {

void useBlockDevice(const std::string& devicePath, bool unmountWhenClaimed) {
    chosen() = Chosen{devicePath, unmountWhenClaimed, {}};
}

std::vector<std::string> unmountedPoints() {
    return chosen().unmounted;
}

Handle openVolume(const char*, bool) {
    return openChosen(O_RDONLY, false);
}

Handle openVolumeToAsk(const char* volumePath) {
    return openVolume(volumePath, false);
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
        const int error = errno;
        remember(error);
        debugLog("%s : %s is no block device: %s\n", kModule, chosen().path.c_str(),
                 std::strerror(error));
        return false;
    }
    geometry = DriveGeometry();
    geometry.bytesPerSector = static_cast<uint32_t>(sectorSize);
    geometry.diskSize = size;
    // Linux has no partition-style query; the boot sector's signature and a
    // protective GPT entry tell the same.
    // The held disk is opened O_DIRECT: a whole logical block, into memory
    // aligned as the device asks.
    alignas(4096) uint8_t sector[4096];
    const size_t length = sectorSize < 512 ? 512 : sectorSize > 4096 ? 4096 : sectorSize;
    const ssize_t got = ::pread(fd, sector, length, 0);
    if (got != static_cast<ssize_t>(length)) {
        const int error = got < 0 ? errno : EIO;
        remember(error);
        debugLog("%s : read sector 0 of %s fail %s\n", kModule, chosen().path.c_str(),
                 std::strerror(error));
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
    return chosen().path;
}

Handle openPhysicalDrive(const char* path) {
    if (chosen().path.empty() || path != chosen().path) {
        return kInvalidHandle;
    }
    return openChosen(O_RDONLY, !chosen().unmountPending);
}

Error lastError() {
    return lastFailure();
}

void clearLastError() {
    failure = Error();
}

Handle openDisk(const char* path) {
    if (chosen().path.empty() || path != chosen().path) {
        remember(ENODEV);
        return kInvalidHandle;
    }
    // A file system that claimDisk will unmount would make O_EXCL fail now.
    // O_DIRECT: each write reaches the card before the next, so the progress
    // is what the card holds and the machine's memory does not fill with
    // the card's pages; the buffers are page-aligned and whole sectors.
    return openChosen(O_RDWR | O_DIRECT, !chosen().unmountPending);
}

bool claimDisk(Handle disk, Error& error, bool& unmounted) {
    Chosen& device = chosen();
    unmounted = false;
    const std::string name = nameOf(device.path);
    const BlockDevices system;
    if (!noOtherUsers(system, name, error)) {
        return false;
    }
    if (!device.unmountPending) {
        return true;  // held with O_EXCL since openDisk
    }
    BlockDevice now;  // the mounts as they are now, not as they were listed
    std::string why;
    const bool described = system.describe(name, now);
    const bool allUnmounted = !described || unmountAll(now, device.unmounted, why);
    unmounted = !device.unmounted.empty();
    if (!allUnmounted) {
        error.fault = Fault::Busy;
        error.text = why;
        return false;
    }
    if (!takeExclusively(static_cast<int>(disk), error)) {
        return false;
    }
    device.unmountPending = false;
    return noOtherUsers(system, name, error);
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

// Linux keeps no count of a reader's media changes that a program can ask;
// the partition table and the size, read again, are what tells.
bool mediaChangeCount(Handle, uint32_t&) {
    remember(ENOTSUP);
    return false;
}

// claimDisk unmounts the card's file systems, and O_EXCL keeps them off.
std::vector<DiskVolume> volumesOnDisk(int32_t) {
    return {};
}

// Only the chosen device has a number, 0; a file elsewhere gets none.
bool diskOfPath(const char* path, int32_t& number) {
    const std::string& device = chosen().path;
    if (device.empty() || BlockDevices().diskOfFile(path) != nameOf(device)) {
        return false;
    }
    number = 0;
    return true;
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

// claimDisk unmounts the device's file systems, and O_EXCL keeps them off
// while it is open.
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
bool storageDevice(Handle, StorageDevice&) {
    remember(ENOTSUP);
    return false;
}
std::string systemFolder() {
    return "/";
}
std::string programPath() {
    return std::string();
}
// Asked through O_NONBLOCK, which opens a reader without its card: an empty
// reader, and a loop device without its file, have no size.
bool hasMedia(const char*) {
    const std::string& path = chosen().path;
    if (path.empty()) {
        remember(ENODEV);
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        refuse(error, openFailureText(error));
        return false;
    }
    uint64_t size = 0;
    loop_info64 loop;
    const bool sized = ::ioctl(fd, BLKGETSIZE64, &size) == 0;
    const bool unbound =
        sized && size == 0 && ::ioctl(fd, LOOP_GET_STATUS64, &loop) != 0 && errno == ENXIO;
    ::close(fd);
    if (!sized || size > 0) {
        return true;  // the geometry query says the rest
    }
    if (unbound) {
        refuse(ENXIO, path + " has no file attached");
        failure.text = "no file attached";
    } else {
        refuse(ENOMEDIUM, path + " holds no card");
    }
    return false;
}
uint32_t logicalDrives() {
    return 0;
}
uint32_t driveType(const char*) {
    return 0;
}

}  // namespace rawdevice

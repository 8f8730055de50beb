// The raw-storage calls behind DeviceInfo, DriveList and UnmountDrive. The
// build links one implementation: Win32 on Windows, an honest "no drives"
// one on POSIX, and a file-backed one in the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace rawdevice {

using Handle = intptr_t;
constexpr Handle kInvalidHandle = -1;

// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, reduced to the fields the drive model uses.
struct DriveGeometry {
    int64_t cylinders = 0;
    int32_t mediaType = 0;
    uint32_t tracksPerCylinder = 0;
    uint32_t sectorsPerTrack = 0;
    uint32_t bytesPerSector = 0;
    uint64_t diskSize = 0;
    uint32_t partitionStyle = 0;  // 0 MBR, 1 GPT, 2 RAW
    uint32_t mbrSignature = 0;
    int32_t detectionType = 0;  // 0 none, 1 Int13, 2 ExInt13
    struct {
        uint16_t driveSelect;
        uint32_t maxCylinders;
        uint16_t sectorsPerTrack;
        uint16_t maxHeads;
        uint16_t numberDrives;
    } int13 = {};
    struct {
        uint16_t bufferSize;
        uint16_t flags;
        uint32_t cylinders;
        uint32_t heads;
        uint32_t sectorsPerTrack;
        uint64_t sectorsPerDrive;
        uint16_t sectorSize;
        uint16_t reserved;
    } exInt13 = {};
};

// Opens a volume, "\\.\X:" or one that volumesOnDisk named, for reading
// (DeviceInfo) or for reading and writing (to lock it); kInvalidHandle on
// failure.
Handle openVolume(const char* volumePath, bool writable);
// Opens a volume with no access rights, only to ask it what needs none
// (storageDevice, getDiskExtents, getDriveGeometry): that needs no
// administrator rights either. kInvalidHandle on failure.
Handle openVolumeToAsk(const char* volumePath);
// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: false when the call fails.
bool getDiskExtents(Handle volume, uint32_t& numberOfExtents, int32_t& firstDiskNumber);
bool getDriveGeometry(Handle handle, DriveGeometry& geometry);
// The name of physical drive number: "\\.\PHYSICALDRIVEn", or on Linux the
// block device qlupdate chose, so that the log names what is written.
std::string physicalDrivePath(int number);
// Opens physicalDrivePath(n) for reading; kInvalidHandle on failure.
Handle openPhysicalDrive(const char* path);
bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t& bytesRead);

// What a failed call meant, so that a reason can say what happened to the
// card rather than what the C runtime made of it.
enum class Fault { None, Gone, WriteProtected, AccessDenied, Busy, Other };
struct Error {
    Fault fault = Fault::None;
    std::string text;  // the system's code and words, "system error 21: ..."
    // A whole sentence for the user, where the platform has better words
    // than the fault's usual ones (Linux: which device, and what holds it).
    std::string reason;
};
// The calling thread's last failure of a call below that documents it.
Error lastError();
// Forgets it, so that a later lastError() speaks of a later call.
void clearLastError();
// Windows: stores GetLastError() for lastError(), and leaves it as it was.
void rememberLastError();

// Opens physicalDrivePath(n) for a whole update: reading and writing,
// uncached, and others may read but not write the disk meanwhile.
// kInvalidHandle on failure (lastError).
Handle openDisk(const char* path);
// IOCTL_STORAGE_GET_DEVICE_NUMBER: the number of the disk that a volume or
// disk handle leads to; false when the call fails.
bool getDeviceNumber(Handle handle, int32_t& number);
// Whole sectors at a sector-aligned offset, through a sector-aligned buffer,
// on a handle from openDisk. False unless every byte moved (lastError).
bool readAt(Handle disk, uint64_t offset, void* buffer, uint32_t length);
bool writeAt(Handle disk, uint64_t offset, const void* buffer, uint32_t length);
// Written data onto the medium (FlushFileBuffers, fsync); then no cached
// copy stands between a read and the medium.
bool flush(Handle disk);
// Right before the first write, after the checks that need nothing of the
// card's file systems: makes the disk from openDisk the update's alone. On
// Linux the card's file systems that qlupdate may unmount are unmounted, the
// device is taken exclusively and no other device may be built on it; on
// Windows the volumes are locked apart. False, with nothing written, when it
// cannot be; error.text says why, error.fault is Busy when another user has it.
// unmounted tells whether a file system was unmounted, which may have
// written to the disk as it went.
bool claimDisk(Handle disk, Error& error, bool& unmounted);
// IOCTL_DISK_IS_WRITABLE: false when the medium is write-protected (the
// card's lock switch) or the question fails (lastError tells which).
bool isWritable(Handle disk);
// IOCTL_STORAGE_CHECK_VERIFY2 with a ULONG for the answer: how many times
// the medium in the reader behind a disk from openDisk has changed since
// the system started it. False when the card is gone or the reader does not
// count (lastError).
bool mediaChangeCount(Handle disk, uint32_t& count);

// A volume and where it lies on its disk (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS).
struct VolumeExtent {
    uint64_t offset = 0;
    uint64_t length = 0;
};
struct DiskVolume {
    std::string path;  // as openVolume takes it: "\\?\Volume{...}" on Windows
    std::vector<VolumeExtent> extents;
    std::string letters;  // the drive letters it is mounted at, "E"
};
// Every volume with an extent on disk number (FindFirstVolumeW/FindNextVolumeW).
std::vector<DiskVolume> volumesOnDisk(int32_t number);
// The number of the disk that holds path's volume; false when it cannot be
// told (a network share, a folder of the system's own).
bool diskOfPath(const char* path, int32_t& number);
// FSCTL_LOCK_VOLUME: false when the system refuses the lock (for example
// while files on the volume are open).
bool lockVolume(Handle volume);
// FSCTL_DISMOUNT_VOLUME: false when the system refuses it.
bool dismountVolume(Handle volume);
void closeHandle(Handle handle);

// IOCTL_STORAGE_QUERY_PROPERTY (StorageDeviceProperty) of the disk behind a
// volume or disk handle: its bus, a STORAGE_BUS_TYPE, and its names as the
// device gives them. False when the query fails.
struct StorageDevice {
    uint32_t bus = 0;
    std::string vendor;
    std::string product;
};
bool storageDevice(Handle handle, StorageDevice& device);
constexpr uint32_t kBusUsb = 7;
constexpr uint32_t kBusSd = 12;
constexpr uint32_t kBusMmc = 13;
// The folder that holds the running system (GetWindowsDirectoryA).
std::string systemFolder();
// The running program's own file (GetModuleFileNameA); empty where unknown.
std::string programPath();
// IOCTL_STORAGE_CHECK_VERIFY2 through a handle that asks without reading:
// false for a reader slot without a card (and for a volume that cannot be
// asked), without touching the medium.
bool hasMedia(const char* volumePath);

// GetLogicalDrives: bit 0 = A:.
uint32_t logicalDrives();
// GetDriveTypeA on a root such as "E:\"; 2 means removable, 3 fixed.
uint32_t driveType(const char* rootPath);
constexpr uint32_t kDriveRemovable = 2;
constexpr uint32_t kDriveFixed = 3;

}  // namespace rawdevice

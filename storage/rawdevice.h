// The raw-storage calls behind DeviceInfo, DriveList and UnmountDrive. The
// build links one implementation: Win32 on Windows, an honest "no drives"
// one on POSIX, and a file-backed one in the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

// Opens "\\.\X:" for reading (DeviceInfo) or for reading and writing
// (UnmountDrive); kInvalidHandle on failure.
Handle openVolume(const char* volumePath, bool writable);
// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: false when the call fails.
bool getDiskExtents(Handle volume, uint32_t& numberOfExtents, int32_t& firstDiskNumber);
bool getDriveGeometry(Handle handle, DriveGeometry& geometry);
// The name of physical drive number: "\\.\PHYSICALDRIVEn", or on Linux the
// block device qlupdate chose, so that the log names what is written.
std::string physicalDrivePath(int number);
// Opens physicalDrivePath(n) for reading; kInvalidHandle on failure.
Handle openPhysicalDrive(const char* path);
bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t& bytesRead);
// Opens "\\.\PHYSICALDRIVEn" as a binary stream for reading and writing, the
// way the update job's copy writes the card; nullptr on failure, with errno
// set where the runtime sets it. The caller closes it with fclose.
FILE* openForCopy(const char* physicalDrivePath);
// FSCTL_LOCK_VOLUME: false when the system refuses the lock (for example
// while files on the volume are open).
bool lockVolume(Handle volume);
// FSCTL_DISMOUNT_VOLUME: false when the system refuses it.
bool dismountVolume(Handle volume);
void closeHandle(Handle handle);

// GetLogicalDrives: bit 0 = A:.
uint32_t logicalDrives();
// GetDriveTypeA on a root such as "E:\"; 2 means removable.
uint32_t driveType(const char* rootPath);
constexpr uint32_t kDriveRemovable = 2;

}  // namespace rawdevice

#include "storage/rawdevice.h"

#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <string>
#include <cstring>

#include "common/systemerror.h"

namespace rawdevice {

namespace {

// The raw calls serve the drive model; their failures are logged under its name.
const char* const kModule = "deviceinfo";

HANDLE toWin(Handle h) {
    return reinterpret_cast<HANDLE>(h);
}

// CreateFileA returns INVALID_HANDLE_VALUE (not NULL) on failure.
Handle fromWin(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<Handle>(h);
}

Handle openShared(const char* path, DWORD access) {
    const HANDLE h = ::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        systemerror::logLast(kModule, "CreateFileA", path);
    }
    return fromWin(h);
}

// DeviceIoControl without input; logs the system's reason when it fails.
bool control(Handle handle, DWORD code, const char* name, void* out, DWORD outSize) {
    DWORD returned = 0;
    if (!::DeviceIoControl(toWin(handle), code, nullptr, 0, out, outSize, &returned, nullptr)) {
        systemerror::logLast(kModule, name, nullptr);
        return false;
    }
    return true;
}

}  // namespace

Handle openVolume(const char* volumePath, bool writable) {
    return openShared(volumePath, writable ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ);
}

bool getDiskExtents(Handle volume, uint32_t& numberOfExtents, int32_t& firstDiskNumber) {
    // Room for a VOLUME_DISK_EXTENTS with one extent (32 bytes).
    alignas(8) unsigned char buffer[32];
    std::memset(buffer, 0, sizeof buffer);
    if (!control(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS,
                 "IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS", buffer, sizeof buffer)) {
        return false;
    }
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer);
    numberOfExtents = extents->NumberOfDiskExtents;
    firstDiskNumber = static_cast<int32_t>(extents->Extents[0].DiskNumber);
    return true;
}

bool getDriveGeometry(Handle handle, DriveGeometry& g) {
    alignas(8) unsigned char buffer[120];
    std::memset(buffer, 0, sizeof buffer);
    if (!control(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX",
                 buffer, sizeof buffer)) {
        return false;
    }
    const auto* geo = reinterpret_cast<const DISK_GEOMETRY_EX*>(buffer);
    g.cylinders = geo->Geometry.Cylinders.QuadPart;
    g.mediaType = static_cast<int32_t>(geo->Geometry.MediaType);
    g.tracksPerCylinder = geo->Geometry.TracksPerCylinder;
    g.sectorsPerTrack = geo->Geometry.SectorsPerTrack;
    g.bytesPerSector = geo->Geometry.BytesPerSector;
    g.diskSize = static_cast<uint64_t>(geo->DiskSize.QuadPart);
    const auto* partition = reinterpret_cast<const DISK_PARTITION_INFO*>(geo->Data);
    g.partitionStyle = static_cast<uint32_t>(partition->PartitionStyle);
    g.mbrSignature = partition->Mbr.Signature;
    // The detection block follows the partition block, whose size it states.
    const unsigned char* detectionStart =
        reinterpret_cast<const unsigned char*>(partition) + partition->SizeOfPartitionInfo;
    if (detectionStart + sizeof(DISK_DETECTION_INFO) > buffer + sizeof buffer) {
        g.detectionType = -1;
        return true;
    }
    const auto* detection = reinterpret_cast<const DISK_DETECTION_INFO*>(detectionStart);
    g.detectionType = static_cast<int32_t>(detection->DetectionType);
    g.int13.driveSelect = detection->Int13.DriveSelect;
    g.int13.maxCylinders = detection->Int13.MaxCylinders;
    g.int13.sectorsPerTrack = detection->Int13.SectorsPerTrack;
    g.int13.maxHeads = detection->Int13.MaxHeads;
    g.int13.numberDrives = detection->Int13.NumberDrives;
    g.exInt13.bufferSize = detection->ExInt13.ExBufferSize;
    g.exInt13.flags = detection->ExInt13.ExFlags;
    g.exInt13.cylinders = detection->ExInt13.ExCylinders;
    g.exInt13.heads = detection->ExInt13.ExHeads;
    g.exInt13.sectorsPerTrack = detection->ExInt13.ExSectorsPerTrack;
    g.exInt13.sectorsPerDrive = detection->ExInt13.ExSectorsPerDrive;
    g.exInt13.sectorSize = detection->ExInt13.ExSectorSize;
    g.exInt13.reserved = detection->ExInt13.ExReserved;
    return true;
}

std::string physicalDrivePath(int number) {
    return "\\\\.\\PHYSICALDRIVE" + std::to_string(number);
}

Handle openPhysicalDrive(const char* path) {
    return openShared(path, GENERIC_READ);
}

FILE* openForCopy(const char* physicalDrivePath) {
    return std::fopen(physicalDrivePath, "rb+");
}

bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t& bytesRead) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(toWin(handle), buffer, length, &got, nullptr);
    if (!ok) {
        systemerror::logLast(kModule, "ReadFile", nullptr);
    }
    bytesRead = got;
    return ok != 0;
}

bool lockVolume(Handle volume) {
    return control(volume, FSCTL_LOCK_VOLUME, "FSCTL_LOCK_VOLUME", nullptr, 0);
}

bool dismountVolume(Handle volume) {
    return control(volume, FSCTL_DISMOUNT_VOLUME, "FSCTL_DISMOUNT_VOLUME", nullptr, 0);
}

void closeHandle(Handle handle) {
    ::CloseHandle(toWin(handle));
}

uint32_t logicalDrives() {
    return ::GetLogicalDrives();
}

uint32_t driveType(const char* rootPath) {
    return ::GetDriveTypeA(rootPath);
}

}  // namespace rawdevice

#include "storage/overlapped_win.h"
#include "storage/rawdevice.h"

#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <string>
#include <cstring>
#include <cwctype>
#include <vector>

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
        rememberLastError();
        systemerror::logLast(kModule, "CreateFileA", path);
    }
    return fromWin(h);
}

// DeviceIoControl without input; logs the system's reason when it fails.
bool control(Handle handle, DWORD code, const char* name, void* out, DWORD outSize) {
    DWORD returned = 0;
    if (!::DeviceIoControl(toWin(handle), code, nullptr, 0, out, outSize, &returned, nullptr)) {
        rememberLastError();
        systemerror::logLast(kModule, name, nullptr);
        return false;
    }
    return true;
}

}  // namespace

Handle openVolume(const char* volumePath, bool writable) {
    return openShared(volumePath, writable ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ);
}

Handle openVolumeToAsk(const char* volumePath) {
    return openShared(volumePath, 0);
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

// No write sharing: nobody else writes the card while the update holds it.
// Uncached, so that the read-back reads the card and not memory.
Handle openDisk(const char* path) {
    const HANDLE h =
        ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        rememberLastError();
        systemerror::logLast(kModule, "CreateFileA", path);
    }
    return fromWin(h);
}

bool getDeviceNumber(Handle handle, int32_t& number) {
    STORAGE_DEVICE_NUMBER device = {};
    DWORD returned = 0;
    if (!::DeviceIoControl(toWin(handle), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &device,
                           sizeof device, &returned, nullptr)) {
        rememberLastError();
        systemerror::logLast(kModule, "IOCTL_STORAGE_GET_DEVICE_NUMBER", nullptr);
        return false;
    }
    number = static_cast<int32_t>(device.DeviceNumber);
    return true;
}

bool readAt(Handle disk, uint64_t offset, void* buffer, uint32_t length) {
    OVERLAPPED position = overlappedAt(offset);
    DWORD got = 0;
    if (!::ReadFile(toWin(disk), buffer, length, &got, &position)) {
        rememberLastError();
        systemerror::logLast(kModule, "ReadFile", nullptr);
        return false;
    }
    if (got != length) {
        ::SetLastError(ERROR_HANDLE_EOF);
        rememberLastError();
        return false;
    }
    return true;
}

bool writeAt(Handle disk, uint64_t offset, const void* buffer, uint32_t length) {
    OVERLAPPED position = overlappedAt(offset);
    DWORD put = 0;
    if (!::WriteFile(toWin(disk), buffer, length, &put, &position)) {
        rememberLastError();
        systemerror::logLast(kModule, "WriteFile", nullptr);
        return false;
    }
    if (put != length) {
        ::SetLastError(ERROR_DISK_FULL);
        rememberLastError();
        return false;
    }
    return true;
}

bool flush(Handle disk) {
    if (!::FlushFileBuffers(toWin(disk))) {
        rememberLastError();
        systemerror::logLast(kModule, "FlushFileBuffers", nullptr);
        return false;
    }
    return true;
}

// Windows takes the volumes over the root apart (DriveTarget::takeVolumes).
bool claimDisk(Handle, Error&, bool& unmounted) {
    unmounted = false;
    return true;
}

// Documented to fail with ERROR_WRITE_PROTECT for a write-protected medium.
bool isWritable(Handle disk) {
    DWORD returned = 0;
    if (!::DeviceIoControl(toWin(disk), IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned,
                           nullptr)) {
        rememberLastError();
        return false;
    }
    return true;
}

// A change fails the first question after it (ERROR_MEDIA_CHANGED or
// ERROR_IO_DEVICE, by whether a volume was mounted) and answers with the
// new count from then on.
bool mediaChangeCount(Handle disk, uint32_t& count) {
    ULONG changes = 0;
    DWORD returned = 0;
    if (!::DeviceIoControl(toWin(disk), IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, &changes,
                           sizeof changes, &returned, nullptr)) {
        rememberLastError();
        return false;
    }
    if (returned < sizeof changes) {
        ::SetLastError(ERROR_NOT_SUPPORTED);  // the reader checks, but does not count
        rememberLastError();
        return false;
    }
    count = changes;
    return true;
}

namespace {

std::string narrow(const wchar_t* text) {
    std::string out;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        out += static_cast<char>(*p);  // volume names and drive roots are ASCII
    }
    return out;
}

// Every extent of the volume; a volume spread over disks has several.
bool extentsOf(HANDLE volume, std::vector<std::pair<DWORD, VolumeExtent>>& out) {
    std::vector<unsigned char> buffer(sizeof(VOLUME_DISK_EXTENTS) + 15 * sizeof(DISK_EXTENT));
    DWORD returned = 0;
    if (!::DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
        return false;
    }
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
    for (DWORD i = 0; i < extents->NumberOfDiskExtents && i < 16; ++i) {
        VolumeExtent extent;
        extent.offset = static_cast<uint64_t>(extents->Extents[i].StartingOffset.QuadPart);
        extent.length = static_cast<uint64_t>(extents->Extents[i].ExtentLength.QuadPart);
        out.emplace_back(extents->Extents[i].DiskNumber, extent);
    }
    return true;
}

}  // namespace

std::vector<DiskVolume> volumesOnDisk(int32_t number) {
    std::vector<DiskVolume> volumes;
    wchar_t name[MAX_PATH];
    const HANDLE search = ::FindFirstVolumeW(name, MAX_PATH);
    if (search == INVALID_HANDLE_VALUE) {
        systemerror::logLast(kModule, "FindFirstVolumeW", nullptr);
        return volumes;
    }
    do {
        std::wstring path(name);
        wchar_t roots[MAX_PATH] = {};
        DWORD rootsLength = 0;
        std::string letters;
        if (::GetVolumePathNamesForVolumeNameW(path.c_str(), roots, MAX_PATH, &rootsLength)) {
            for (const wchar_t* root = roots; *root != L'\0'; root += wcslen(root) + 1) {
                if (root[1] == L':' && root[2] == L'\\' && root[3] == L'\0') {
                    letters += static_cast<char>(towupper(root[0]));
                }
            }
        }
        // CreateFileW opens the volume itself only without the trailing backslash.
        if (!path.empty() && path.back() == L'\\') {
            path.pop_back();
        }
        const HANDLE volume = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume == INVALID_HANDLE_VALUE) {
            continue;  // a volume of no disk (a network drive, a CD without a disc)
        }
        std::vector<std::pair<DWORD, VolumeExtent>> extents;
        const bool known = extentsOf(volume, extents);
        ::CloseHandle(volume);
        DiskVolume onDisk;
        onDisk.path = narrow(path.c_str());
        onDisk.letters = letters;
        for (const auto& extent : extents) {
            if (known && static_cast<int32_t>(extent.first) == number) {
                onDisk.extents.push_back(extent.second);
            }
        }
        if (!onDisk.extents.empty()) {
            volumes.push_back(onDisk);
        }
    } while (::FindNextVolumeW(search, name, MAX_PATH));
    ::FindVolumeClose(search);
    return volumes;
}

bool diskOfPath(const char* path, int32_t& number) {
    char mountPoint[MAX_PATH];
    char volumeName[MAX_PATH];
    if (!::GetVolumePathNameA(path, mountPoint, MAX_PATH) ||
        !::GetVolumeNameForVolumeMountPointA(mountPoint, volumeName, MAX_PATH)) {
        return false;  // a share or a path of no volume: not on a card
    }
    std::string volumePath(volumeName);
    if (!volumePath.empty() && volumePath.back() == '\\') {
        volumePath.pop_back();
    }
    const HANDLE volume = ::CreateFileA(volumePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<std::pair<DWORD, VolumeExtent>> extents;
    const bool known = extentsOf(volume, extents) && !extents.empty();
    ::CloseHandle(volume);
    if (known) {
        number = static_cast<int32_t>(extents.front().first);
    }
    return known;
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

// Refused while another program has a file open there; the caller retries,
// so a refusal is remembered rather than logged each time.
bool lockVolume(Handle volume) {
    DWORD returned = 0;
    if (!::DeviceIoControl(toWin(volume), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                           nullptr)) {
        rememberLastError();
        return false;
    }
    return true;
}

bool dismountVolume(Handle volume) {
    return control(volume, FSCTL_DISMOUNT_VOLUME, "FSCTL_DISMOUNT_VOLUME", nullptr, 0);
}

void closeHandle(Handle handle) {
    ::CloseHandle(toWin(handle));
}

namespace {

// A name the descriptor places at offset, trimmed of the blanks devices pad
// it with; empty when there is none.
std::string descriptorText(const unsigned char* buffer, DWORD size, DWORD offset) {
    std::string text;
    for (DWORD i = offset; offset != 0 && i < size && buffer[i] != '\0'; ++i) {
        text += static_cast<char>(buffer[i]);
    }
    const size_t first = text.find_first_not_of(' ');
    const size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

}  // namespace

bool storageDevice(Handle handle, StorageDevice& device) {
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(8) unsigned char buffer[1024] = {};
    DWORD returned = 0;
    if (!::DeviceIoControl(toWin(handle), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                           buffer, sizeof buffer, &returned, nullptr) ||
        returned < sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
        rememberLastError();
        return false;
    }
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    device.bus = static_cast<uint32_t>(descriptor->BusType);
    device.vendor = descriptorText(buffer, returned, descriptor->VendorIdOffset);
    device.product = descriptorText(buffer, returned, descriptor->ProductIdOffset);
    return true;
}

std::string systemFolder() {
    char folder[MAX_PATH] = {};
    const UINT length = ::GetWindowsDirectoryA(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(folder) + "\\" : std::string();
}

std::string programPath() {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path) : std::string();
}

// No access rights: the handle only asks, so an empty slot is not touched.
bool hasMedia(const char* volumePath) {
    const HANDLE volume = ::CreateFileA(volumePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        rememberLastError();
        return false;
    }
    DWORD returned = 0;
    const BOOL present = ::DeviceIoControl(volume, IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, nullptr,
                                           0, &returned, nullptr);
    if (!present) {
        rememberLastError();
    }
    ::CloseHandle(volume);
    return present != 0;
}

uint32_t logicalDrives() {
    return ::GetLogicalDrives();
}

uint32_t driveType(const char* rootPath) {
    return ::GetDriveTypeA(rootPath);
}

}  // namespace rawdevice

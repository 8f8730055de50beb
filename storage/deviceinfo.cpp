#include "storage/deviceinfo.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common/common.h"

namespace {

const char* const kModule = "deviceinfo";
constexpr uint32_t kTableOffset = 446;
constexpr uint32_t kEntrySize = 16;

}  // namespace

std::string volumePathOf(const std::string& drive) {
    if (drive.size() > 1 && drive[0] == '/') {
        return drive;
    }
    return drive.empty() ? std::string("\\\\.\\") : std::string("\\\\.\\") + drive[0] + ":";
}

// ---- MbrInfo ----

void MbrInfo::clear() {
    std::memset(bytes, 0, sizeof bytes);
}

uint32_t MbrInfo::read32(uint32_t offset) const {
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

uint32_t MbrInfo::read24(uint32_t offset) const {
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16);
}

uint32_t MbrInfo::getStartSector(int index) const {
    if (index < 0 || index > 3) {
        return 0;
    }
    return read32(kTableOffset + kEntrySize * static_cast<uint32_t>(index) + 8);
}

uint32_t MbrInfo::getSectorCount(int index) const {
    if (index < 0 || index > 3) {
        return 0;
    }
    return read32(kTableOffset + kEntrySize * static_cast<uint32_t>(index) + 12);
}

uint32_t MbrInfo::getEndSector(int index) const {
    if (index < 0 || index > 3) {
        return 0;
    }
    return getStartSector(index) + getSectorCount(index);  // modulo 2^32 on purpose
}

uint8_t MbrInfo::getType(int index) const {
    if (index < 0 || index > 3) {
        return 0;
    }
    return bytes[kTableOffset + kEntrySize * static_cast<uint32_t>(index) + 4];
}

std::string MbrInfo::rootEntryProblem() const {
    const uint8_t type = getType(1);
    if (type == 0x00) {
        return "partition 1, the root, has type 00: the entry is empty";
    }
    if (type == 0x05 || type == 0x0F || type == 0x85) {
        return formatText(
            "partition 1, the root, has type %02X: it is an extended partition, which holds "
            "other partitions",
            type);
    }
    if (type == 0xEE) {
        return "partition 1, the root, has type EE: it protects a GUID partition table (GPT)";
    }
    // 64-bit ends: an entry that wraps past 2^32 still covers what it says.
    // Partition 0 lies before the root by the layout rule itself.
    const uint64_t start = getStartSector(1);
    const uint64_t end = start + getSectorCount(1);
    for (const int i : {2, 3}) {
        const uint64_t first = getStartSector(i);
        const uint64_t last = first + getSectorCount(i);
        if (getType(i) != 0x00 && first < last && first < end && start < last) {
            return formatText(
                "partition %d (sectors %I64u to %I64u) overlaps partition 1, the root (sectors "
                "%I64u to %I64u), whose sectors the update overwrites",
                i, static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
                static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
        }
    }
    return std::string();
}

uint32_t MbrInfo::getMaxEndSector() const {
    uint32_t maxEnd = 0;
    for (int i = 0; i < 4; ++i) {
        if (getEndSector(i) > maxEnd) {
            maxEnd = getEndSector(i);
        }
    }
    return maxEnd;
}

void MbrInfo::dump(uint32_t bytesPerSector) const {
    debugLog("Mbr info\n");
    for (int i = 0; i < 4; ++i) {
        const uint32_t entry = kTableOffset + kEntrySize * static_cast<uint32_t>(i);
        const uint64_t endBytes = static_cast<uint64_t>(getEndSector(i)) * bytesPerSector;
        debugLog("partition %d\n", i);
        debugLog("\tboot flag %x\n", bytes[entry]);
        debugLog("\tpartition type %x\n", bytes[entry + 4]);
        debugLog("\tstart CHS %lu\n", static_cast<unsigned long>(read24(entry + 1)));
        debugLog("\tend   CHS %lu\n", static_cast<unsigned long>(read24(entry + 5)));
        debugLog("\tstart LBA %lu\n", static_cast<unsigned long>(getStartSector(i)));
        debugLog("\ttotal LBA %lu\n", static_cast<unsigned long>(getSectorCount(i)));
        debugLog("\tstart sector %lu\n", static_cast<unsigned long>(getStartSector(i)));
        debugLog("\tend sector %lu\n", static_cast<unsigned long>(getEndSector(i)));
        debugLog("\tsector count %lu\n", static_cast<unsigned long>(getSectorCount(i)));
        // "%lu" is 32 bits on Windows; the byte position needs all 64.
        debugLog("\ttotal size %I64uB\n", static_cast<unsigned long long>(endBytes));
        debugLog("\ttotal size %I64uMiB\n", static_cast<unsigned long long>(endBytes >> 20));
    }
}

// ---- DeviceInfo ----

DeviceInfo::DeviceInfo() {
    debugLog("%s : construct\n", kModule);
}

DeviceInfo::DeviceInfo(const std::string& drive) {
    debugLog("%s : construct drive %s\n", kModule, drive.c_str());
    setName(drive);
}

bool DeviceInfo::setName(const std::string& drive) {
    debugLog("%s : setName (%s)\n", kModule, drive.c_str());
    if (!getDeviceNumber(drive)) {
        ready = false;
        return false;
    }
    name = rawdevice::physicalDrivePath(deviceNumber);
    ready = true;
    return true;
}

bool DeviceInfo::getDeviceNumber(const std::string& drive) {
    debugLog("%s : getDeviceNumber (%s)\n", kModule, drive.c_str());
    const std::string volumeName = volumePathOf(drive);
    const char* volumePath = volumeName.c_str();
    debugLog("%s : getDeviceNumber handle name (%s)\n", kModule, volumePath);
    const rawdevice::Handle volume = rawdevice::openVolume(volumePath, false);
    if (volume == rawdevice::kInvalidHandle) {
        debugLog("%s : Could not open physical drive %s\n", kModule, volumePath);
        return false;
    }
    uint32_t extents = 0;
    int32_t diskNumber = -1;
    if (!rawdevice::getDiskExtents(volume, extents, diskNumber) || extents != 1 || diskNumber < 0) {
        rawdevice::closeHandle(volume);
        return false;
    }
    deviceNumber = diskNumber;
    const bool geometryRead = getDriveGeometry(volume);
    rawdevice::closeHandle(volume);
    return geometryRead;
}

bool DeviceInfo::getDriveGeometry(rawdevice::Handle handle) {
    rawdevice::DriveGeometry g;
    if (!rawdevice::getDriveGeometry(handle, g)) {
        return false;
    }
    bytesPerSector = g.bytesPerSector;
    diskSize = g.diskSize;
    debugLog("disk size %I64u\n", static_cast<unsigned long long>(g.diskSize));
    debugLog("cylinders %I64u\n", static_cast<unsigned long long>(g.cylinders));
    debugLog("media type %d\n", g.mediaType);
    debugLog("tracks per cylinder %lu\n", static_cast<unsigned long>(g.tracksPerCylinder));
    debugLog("sectors per track %lu\n", static_cast<unsigned long>(g.sectorsPerTrack));
    debugLog("bytes per sector %lu\n", static_cast<unsigned long>(g.bytesPerSector));
    switch (g.partitionStyle) {
        case 0:
            debugLog("Partition MBR\nSignature: %lu\n", static_cast<unsigned long>(g.mbrSignature));
            partitionStyle = 0;
            break;
        case 1:
            debugLog("Partition GPT\n");
            partitionStyle = 1;
            break;
        case 2:
            debugLog("Partition RAW\n");
            partitionStyle = 2;
            break;
        default:
            debugLog("Partition UNKNOWN\n");
            partitionStyle = 3;
            break;
    }
    debugLog("detection type: %d\n", g.detectionType);
    switch (g.detectionType) {
        case 0:
            debugLog("DetectNone\n");
            break;
        case 1:
            debugLog("DetectInt13\n");
            debugLog("DriveSelect : %d\n", g.int13.driveSelect);
            debugLog("MaxCylinders : %lu\n", static_cast<unsigned long>(g.int13.maxCylinders));
            debugLog("SectorsPerTrack : %d\n", g.int13.sectorsPerTrack);
            debugLog("MaxHeads : %d\n", g.int13.maxHeads);
            debugLog("NumberDrives : %d\n", g.int13.numberDrives);
            break;
        case 2:
            debugLog("DetectExInt13\n");
            debugLog("ExBufferSize : %d\n", g.exInt13.bufferSize);
            debugLog("ExFlags : %d\n", g.exInt13.flags);
            debugLog("ExCylinders : %lu\n", static_cast<unsigned long>(g.exInt13.cylinders));
            debugLog("ExHeads : %lu\n", static_cast<unsigned long>(g.exInt13.heads));
            debugLog("ExSectorsPerTrack : %lu\n",
                     static_cast<unsigned long>(g.exInt13.sectorsPerTrack));
            debugLog("ExSectorsPerDrive : %I64d\n",
                     static_cast<long long>(g.exInt13.sectorsPerDrive));
            debugLog("ExSectorSize : %d\n", g.exInt13.sectorSize);
            debugLog("ExReserved : %d\n", g.exInt13.reserved);
            break;
        default:
            break;
    }
    return true;
}

uint64_t DeviceInfo::getSize() {
    return static_cast<uint64_t>(mbr.getMaxEndSector()) * bytesPerSector;
}

bool DeviceInfo::isValid() {
    if (partitionStyle != 0) {
        return false;
    }
    // Before a table is read there are no entries to judge.
    const std::string why = mbrLoaded ? mbr.rootEntryProblem() : std::string();
    if (!why.empty()) {
        debugLog("%s : %s %s\n", kModule, name.c_str(), why.c_str());
        return false;
    }
    return true;
}

std::string DeviceInfo::layoutProblem() const {
    if (partitionStyle != 0) {
        return "the card is not partitioned with an MBR";
    }
    return mbrLoaded ? mbr.rootEntryProblem() : std::string();
}

uint64_t DeviceInfo::getRootOffset() {
    if (!isValid()) {
        return 0;
    }
    return static_cast<uint64_t>(mbr.getStartSector(1)) * bytesPerSector;
}

uint64_t DeviceInfo::getRootSize() {
    if (!isValid()) {
        return 0;
    }
    const uint32_t sectors = mbr.getEndSector(1) - mbr.getStartSector(1);
    return static_cast<uint64_t>(sectors) * bytesPerSector;
}

bool DeviceInfo::loadMbr() {
    const std::string path = getName();
    debugLog("%s : device name %s\n", kModule, path.c_str());
    const rawdevice::Handle drive = rawdevice::openPhysicalDrive(path.c_str());
    if (drive == rawdevice::kInvalidHandle) {
        debugLog("%s : Could not open physical device %s\n", kModule, path.c_str());
        return false;
    }
    // Read aside: a failed or short read must not leave a partition table
    // mixed from two sectors; the size line shows how much arrived. Raw
    // drives only read whole sectors, so a 4096-byte-sector card reader gets
    // one whole sector and the MBR is its first 512 bytes.
    const uint32_t readLength =
        bytesPerSector > mbr.size() && bytesPerSector <= 65536 && bytesPerSector % mbr.size() == 0
            ? bytesPerSector
            : mbr.size();
    std::vector<uint8_t> sector(readLength);
    uint32_t bytesRead = 0;
    const bool readOk = rawdevice::readFile(drive, sector.data(), readLength, bytesRead);
    debugLog("%s : loadMbr read size %lx / %lx\n", kModule, static_cast<unsigned long>(bytesRead),
             static_cast<unsigned long>(readLength));
    rawdevice::closeHandle(drive);
    if (!readOk || bytesRead != readLength) {
        return false;
    }
    std::memcpy(mbr.data(), sector.data(), mbr.size());
    mbrLoaded = true;
    mbr.dump(bytesPerSector);
    return true;
}

bool DeviceInfo::loadMbrFrom(rawdevice::Handle drive) {
    debugLog("%s : device name %s\n", kModule, name.c_str());
    // An uncached drive reads whole sectors into sector-aligned memory.
    const uint32_t readLength =
        bytesPerSector > mbr.size() && bytesPerSector <= 65536 && bytesPerSector % mbr.size() == 0
            ? bytesPerSector
            : mbr.size();
    ChunkBuffer sector = allocateChunk(readLength);
    const bool readOk = sector != nullptr && rawdevice::readAt(drive, 0, sector.get(), readLength);
    debugLog("%s : loadMbr read size %lx / %lx\n", kModule,
             static_cast<unsigned long>(readOk ? readLength : 0),
             static_cast<unsigned long>(readLength));
    if (!readOk) {
        return false;
    }
    std::memcpy(mbr.data(), sector.get(), mbr.size());
    mbrLoaded = true;
    mbr.dump(bytesPerSector);
    return true;
}

// ---- DriveList ----

namespace {

// Some USB and built-in readers report their card as a fixed disk. Such a
// drive is offered when its disk is on an SD or MMC bus, or on a USB bus and
// no larger than a card, and is neither the disk Windows runs from nor the
// one the program runs from; the layout check still refuses any other card.
// Asked with no access rights, so that the list is the same without
// administrator rights, and the drive chosen then says that they are needed.
bool isCardOnFixedDisk(char letter, int32_t systemDisk, int32_t programDisk) {
    char volumePath[8];
    formatString(volumePath, sizeof volumePath, "\\\\.\\%c:", letter);
    const rawdevice::Handle volume = rawdevice::openVolumeToAsk(volumePath);
    if (volume == rawdevice::kInvalidHandle) {
        return false;
    }
    rawdevice::StorageDevice device;
    const bool described = rawdevice::storageDevice(volume, device);
    uint32_t extents = 0;
    int32_t disk = -1;
    const bool numbered = rawdevice::getDiskExtents(volume, extents, disk);
    rawdevice::DriveGeometry geometry;
    const bool cardSized = described && device.bus == rawdevice::kBusUsb &&
                           rawdevice::getDriveGeometry(volume, geometry) &&
                           geometry.diskSize <= DriveList::kLargestCard;
    rawdevice::closeHandle(volume);
    const bool cardBus =
        cardSized ||
        (described && (device.bus == rawdevice::kBusSd || device.bus == rawdevice::kBusMmc));
    return cardBus && numbered && disk >= 0 && disk != systemDisk && disk != programDisk;
}

// The disk that holds path; -1 when it cannot be told.
int32_t diskHolding(const std::string& path) {
    int32_t disk = -1;
    return !path.empty() && rawdevice::diskOfPath(path.c_str(), disk) ? disk : -1;
}

}  // namespace

const char* DriveList::getRemovableDrives() {
    const uint32_t mask = rawdevice::logicalDrives();
    // A fixed disk is offered only when the system's disk is known.
    const int32_t systemDisk = diskHolding(rawdevice::systemFolder());
    const int32_t programDisk = diskHolding(rawdevice::programPath());
    int count = 0;
    // Z: is never offered.
    for (int i = 0; i < 25 && count < 25; ++i) {
        if ((mask & (1u << i)) == 0) {
            continue;
        }
        char root[8];
        formatString(root, sizeof root, "%c:\\", 'A' + i);
        const uint32_t type = rawdevice::driveType(root);
        const char letter = static_cast<char>('A' + i);
        if (type == rawdevice::kDriveRemovable ||
            (type == rawdevice::kDriveFixed && systemDisk >= 0 &&
             isCardOnFixedDisk(letter, systemDisk, programDisk))) {
            letters[count++] = letter;
        }
    }
    letters[count] = '\0';
    return letters;
}

bool DriveList::offers(const std::string& drive) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
    return letter != '\0' && std::strchr(getRemovableDrives(), letter) != nullptr;
}

std::string busName(uint32_t bus) {
    static const char* const names[] = {"unknown",
                                        "SCSI",
                                        "ATAPI",
                                        "ATA",
                                        "1394",
                                        "SSA",
                                        "Fibre Channel",
                                        "USB",
                                        "RAID",
                                        "iSCSI",
                                        "SAS",
                                        "SATA",
                                        "SD",
                                        "MMC",
                                        "virtual",
                                        "file-backed virtual",
                                        "Storage Spaces",
                                        "NVMe",
                                        "SCM",
                                        "UFS"};
    return bus < sizeof names / sizeof names[0] ? names[bus] : "bus " + std::to_string(bus);
}

// ---- UnmountDrive ----

bool UnmountDrive::unmount() {
    close();  // a second call must not leak the first handle
    char volumePath[8];
    formatString(volumePath, sizeof volumePath, "\\\\.\\%c:", driveLetter);
    volumeHandle = rawdevice::openVolume(volumePath, true);
    if (volumeHandle == rawdevice::kInvalidHandle) {
        debugLog("Unmount Could not open physical drive %s\n", volumePath);
        return false;
    }
    // Without the lock, programs may still be writing to the volume; a forced
    // dismount would pull it from under them and the copy would race them.
    if (!rawdevice::lockVolume(volumeHandle)) {
        debugLog("Unmount Could not lock volume %s\n", volumePath);
        close();
        return false;
    }
    if (!rawdevice::dismountVolume(volumeHandle)) {
        debugLog("Unmount Could not dismount volume %s\n", volumePath);
        close();  // also ends the lock
        return false;
    }
    return true;
}

void UnmountDrive::close() {
    if (volumeHandle != rawdevice::kInvalidHandle) {
        rawdevice::closeHandle(volumeHandle);
        volumeHandle = rawdevice::kInvalidHandle;
    }
}

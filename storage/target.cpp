#include "storage/target.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/common.h"
#include "common/fileio.h"
#include "common/resultcode.h"
#include "common/systemerror.h"

namespace {

const char* const kModule = "target";

rawdevice::Error errnoError() {
    rawdevice::Error e;
    e.fault = errno == ENOSPC || errno == EFBIG ? rawdevice::Fault::Other
              : errno == EROFS                  ? rawdevice::Fault::WriteProtected
              : errno == EACCES                 ? rawdevice::Fault::AccessDenied
                                                : rawdevice::Fault::Other;
    e.text = fileio::lastErrorText();
    return e;
}

bool fail(TargetFailure& failure, int code, const std::string& why) {
    failure.code = code;
    failure.why = why;
    return false;
}

const char* const kSwappedWhileWritten =
    "the card was removed or replaced while it was written; its root partition may be "
    "incomplete: put it back and update again";

bool overlaps(uint64_t start, uint64_t length, uint64_t otherStart, uint64_t otherLength) {
    return start < otherStart + otherLength && otherStart < start + length;
}

}  // namespace

std::unique_ptr<Target> makeTarget(const std::string& imagePath, const std::string& drive) {
    if (drive.empty()) {
        return std::make_unique<ImageTarget>(imagePath);
    }
    return std::make_unique<DriveTarget>(drive);
}

// ---- ImageTarget ----

ImageTarget::ImageTarget(const std::string& path) : imagePath(path) {
    ready = image.setName(path);
    missing = !ready && (errno == ENOENT || errno == ENOTDIR);
}

std::string ImageTarget::notReadyReason() const {
    return imagePath +
           (missing ? ": the image file does not exist" : " cannot be read or is empty");
}

// The image is opened for writing here and held to the end of the copy: one
// that cannot be written is refused before anything is unpacked, and the
// copy writes the very file whose table was checked. No second job writes
// it before this one ends: its lock is held until release().
bool ImageTarget::loadLayout(TargetFailure& failure) {
    stream = fileops::openLocked(imagePath.c_str(), kModule, lockKeeper);
    if (stream == nullptr) {
        const int code = errno;
        const std::string error = fileio::lastErrorText();
        systemerror::logLast(kModule, "open", imagePath.c_str());
        debugLog("applyupdatefile : can not open image file %s\n", imagePath.c_str());
        if (code == EBUSY) {
            return fail(failure, ResultCardInUse,
                        formatText("%s is being written by another update or program, which "
                                   "holds it locked; nothing was written",
                                   imagePath.c_str()));
        }
        const bool refused = code == EROFS || code == EACCES || code == EPERM;
        return fail(failure,
                    refused ? ResultWriteProtected : resultForError(ResultWriteFailed, code),
                    formatText(refused ? "%s cannot be written: %s; nothing was written"
                                       : "%s cannot be opened for writing: %s; nothing was written",
                               imagePath.c_str(), error.c_str()));
    }
    position = 0;
    positionKnown = true;
    MbrInfo sector;
    rawdevice::Error error;
    const int64_t size = fileops::size(stream);
    if (!read(0, sector.data(), sector.size(), error)) {
        debugLog("%s : first sector of %s unreadable: %s\n", kModule, imagePath.c_str(),
                 error.text.c_str());
        return fail(failure, ResultInvalidMedia,
                    formatText("the first sector of %s cannot be read: %s", imagePath.c_str(),
                               error.text.c_str()));
    }
    // A device without the signature is refused as not MBR; an image alike.
    const uint8_t* bytes = sector.data();
    if (bytes[510] != 0x55 || bytes[511] != 0xAA) {
        debugLog("%s : no MBR signature in %s (%02x %02x)\n", kModule, imagePath.c_str(),
                 bytes[510], bytes[511]);
        return fail(failure, ResultInvalidMedia,
                    formatText("%s has no MBR signature (bytes 510-511 are %02x %02x, not 55 AA)",
                               imagePath.c_str(), bytes[510], bytes[511]));
    }
    image.useMbr(sector, size);
    return true;
}

bool ImageTarget::openForCopy(FILE* source, TargetFailure& failure) {
    if (stream == nullptr) {
        debugLog("applyupdatefile : can not open image file %s\n", imagePath.c_str());
        return fail(failure, ResultWriteFailed,
                    formatText("%s is no longer open for writing", imagePath.c_str()));
    }
    // Whatever the names, the copy never writes the temporary file onto
    // itself, and success never removes the target with it.
    if (fileops::sameFile(source, stream)) {
        debugLog("applyupdatefile : temp file is the target %s\n", imagePath.c_str());
        return fail(failure, ResultTempFileCreate,
                    formatText("the temporary file is the target %s itself", imagePath.c_str()));
    }
    haveIdentity = fileio::identity(stream, writtenVolume, writtenIndex);
    return true;
}

bool ImageTarget::seekTo(uint64_t offset, rawdevice::Error& error) {
    if (positionKnown && position == offset) {
        return true;
    }
    if (!fileops::seek(stream, offset)) {
        error = errnoError();
        positionKnown = false;
        return false;
    }
    position = offset;
    positionKnown = true;
    return true;
}

bool ImageTarget::read(uint64_t offset, void* buffer, uint32_t length, rawdevice::Error& error) {
    if (!seekTo(offset, error)) {
        return false;
    }
    if (fileops::read(buffer, length, 1, stream) != 1) {
        error = errnoError();
        if (std::feof(stream) != 0) {
            error.fault = rawdevice::Fault::Other;
            error.text = formatText("the file ends before byte %I64u",
                                    static_cast<unsigned long long>(offset + length));
        }
        positionKnown = false;
        return false;
    }
    position += length;
    return true;
}

bool ImageTarget::write(uint64_t offset, const void* buffer, uint32_t length,
                        rawdevice::Error& error) {
    if (!seekTo(offset, error)) {
        return false;
    }
    if (fileops::write(buffer, length, 1, stream) != 1) {
        error = errnoError();
        positionKnown = false;
        return false;
    }
    position += length;
    return true;
}

// An image can change under its path as a card can be swapped: the first
// sector and the size are read again through the stream that will write.
bool ImageTarget::prepareWrite(TargetFailure& failure) {
    MbrInfo now;
    rawdevice::Error error;
    if (!read(0, now.data(), now.size(), error)) {
        debugLog("%s : read again %s fail %s\n", kModule, imagePath.c_str(), error.text.c_str());
        return fail(failure, ResultWriteFailed,
                    formatText("%s could not be read again before writing: %s; nothing was "
                               "written",
                               imagePath.c_str(), error.text.c_str()));
    }
    const int64_t size = fileops::size(stream);
    if (std::memcmp(now.data(), image.getMbr().data(), now.size()) != 0 ||
        size != static_cast<int64_t>(image.getSize())) {
        debugLog("%s : %s changed since it was checked\n", kModule, imagePath.c_str());
        return fail(failure, ResultInvalidMedia,
                    formatText("%s changed after its partition table was checked; nothing was "
                               "written",
                               imagePath.c_str()));
    }
    return true;
}

bool ImageTarget::closeStream(const char* what, TargetFailure& failure) {
    FILE* file = stream;
    stream = nullptr;
    if (fileops::close(file) != 0) {
        const std::string error = fileio::lastErrorText();
        debugLog("applyupdatefile : %s error %s\n", what, error.c_str());
        return fail(failure, ResultWriteFailed,
                    formatText("%s did not take the written data (close failed: %s)",
                               imagePath.c_str(), error.c_str()));
    }
    return true;
}

bool ImageTarget::finishCopy(bool wrote, TargetFailure& failure) {
    if (!wrote) {
        // Only read from: closing loses nothing and leaves the time stamp.
        fileops::close(stream);
        stream = nullptr;
        return true;
    }
    // Success means the bytes are on the medium, not in a cache.
    if (!fileops::sync(stream)) {
        const std::string error = fileio::lastErrorText();
        systemerror::logLast(kModule, "sync", imagePath.c_str());
        debugLog("applyupdatefile : sync error %s\n", error.c_str());
        return fail(failure, ResultWriteFailed,
                    formatText("%s did not take the written data (sync failed: %s)",
                               imagePath.c_str(), error.c_str()));
    }
    return closeStream("fclose", failure);
}

bool ImageTarget::openForReadBack(TargetFailure& failure) {
    stream = fileops::open(imagePath.c_str(), "rb", kModule);
    positionKnown = false;
    if (stream == nullptr) {
        const int code = errno;
        const std::string error = fileio::lastErrorText();
        systemerror::logLast(kModule, "open", imagePath.c_str());
        debugLog("applyupdatefile : verify can not open %s\n", imagePath.c_str());
        return fail(failure, resultForError(ResultWriteFailed, code),
                    formatText("%s cannot be opened to read the update back: %s", imagePath.c_str(),
                               error.c_str()));
    }
    // Another file at the path since the copy: reading it would prove nothing.
    uint64_t volume = 0, index = 0;
    if (haveIdentity && fileio::identity(stream, volume, index) &&
        (volume != writtenVolume || index != writtenIndex)) {
        fileops::close(stream);
        stream = nullptr;
        debugLog("applyupdatefile : verify %s is another file\n", imagePath.c_str());
        return fail(failure, ResultWriteFailed,
                    formatText("%s was replaced by another file during the update; the file now "
                               "at that path was not written",
                               imagePath.c_str()));
    }
    fileio::dropCachedData(stream);
    return true;
}

bool ImageTarget::finishReadBack(TargetFailure& failure) {
    // A failed close of a stream only read from loses nothing, but says the
    // target cannot be trusted either.
    FILE* file = stream;
    stream = nullptr;
    if (fileops::close(file) != 0) {
        const std::string error = fileio::lastErrorText();
        debugLog("applyupdatefile : verify fclose error %s\n", error.c_str());
        return fail(failure, ResultWriteFailed,
                    formatText("%s failed at the end of the read-back: %s", imagePath.c_str(),
                               error.c_str()));
    }
    return true;
}

void ImageTarget::release() {
    if (stream != nullptr) {
        fileops::close(stream);
        stream = nullptr;
    }
    fileio::releaseLock(lockKeeper);
    lockKeeper = -1;
}

// ---- DriveTarget ----

DriveTarget::DriveTarget(const std::string& drive, int lockPatience, int openPatience)
    : driveName(drive), lockPatienceMs(lockPatience), openPatienceMs(openPatience) {
    rawdevice::clearLastError();
    if (!open()) {
        openFailure = rawdevice::lastError();
        release();
    }
}

std::string DriveTarget::notReadyReason() const {
    if (!openFailure.reason.empty()) {
        return openFailure.reason;
    }
    // The volume opens only with administrator rights: a disk refused after
    // it is held by another program, which refuses even an administrator.
    if (diskRefused && (openFailure.fault == rawdevice::Fault::AccessDenied ||
                        openFailure.fault == rawdevice::Fault::Busy)) {
        return formatText(
            "another program holds the disk of %s (%s); close it (another card "
            "writer, a disk tool, a backup) and try again",
            driveName.c_str(), openFailure.text.c_str());
    }
    switch (openFailure.fault) {
        case rawdevice::Fault::AccessDenied:
            return formatText(
                "Windows refused to open the drive %s (%s): run the program as "
                "administrator (qlupdate from a command prompt started as "
                "administrator)",
                driveName.c_str(), openFailure.text.c_str());
        case rawdevice::Fault::Gone:
            return formatText("the drive %s holds no card (%s)", driveName.c_str(),
                              openFailure.text.c_str());
        case rawdevice::Fault::Busy:
            return formatText("another program holds the drive %s open for writing (%s)",
                              driveName.c_str(), openFailure.text.c_str());
        default:
            return openFailure.text.empty()
                       ? formatText("the drive %s cannot be read", driveName.c_str())
                       : formatText("the drive %s cannot be read (%s)", driveName.c_str(),
                                    openFailure.text.c_str());
    }
}

// The letter's volume leads to a disk number, and a number can pass to
// another disk when a reader is replugged: the drive is opened once, and
// both the volume and the open drive must then name the same disk.
bool DriveTarget::open() {
    const std::string volumeName = volumePathOf(driveName);
    const char* volumePath = volumeName.c_str();
    // An empty reader slot is found out without reading from it.
    if (!rawdevice::hasMedia(volumePath)) {
        debugLog("%s : no card in %s: %s\n", kModule, volumePath,
                 rawdevice::lastError().text.c_str());
        return false;
    }
    if (!device.setName(driveName)) {
        return false;
    }
    physicalPath = device.getName();
    const rawdevice::Handle volume = rawdevice::openVolume(volumePath, false);
    if (volume == rawdevice::kInvalidHandle) {
        debugLog("%s : Could not open volume %s\n", kModule, volumePath);
        return false;
    }
    disk = openDisk();
    if (disk == rawdevice::kInvalidHandle) {
        debugLog("%s : Could not open physical device %s: %s\n", kModule, physicalPath.c_str(),
                 rawdevice::lastError().text.c_str());
        rawdevice::closeHandle(volume);
        diskRefused = true;
        return false;
    }
    int32_t volumeDisk = -1;
    int32_t heldDisk = -1;
    const bool numbered = rawdevice::getDeviceNumber(volume, volumeDisk) &&
                          rawdevice::getDeviceNumber(disk, heldDisk);
    rawdevice::closeHandle(volume);
    if (!numbered || volumeDisk != heldDisk || heldDisk != device.getDeviceNumberValue()) {
        debugLog("%s : %s is on disk %d, %s is disk %d\n", kModule, volumePath,
                 static_cast<int>(volumeDisk), physicalPath.c_str(), static_cast<int>(heldDisk));
        return false;
    }
    debugLog("%s : holds %s for %s\n", kModule, physicalPath.c_str(), driveName.c_str());
    rawdevice::StorageDevice about;
    if (rawdevice::storageDevice(disk, about)) {
        debugLog("%s : %s is %s %s on the %s bus, %I64u bytes (%s)\n", kModule,
                 physicalPath.c_str(), about.vendor.c_str(), about.product.c_str(),
                 busName(about.bus).c_str(), static_cast<unsigned long long>(device.getDiskSize()),
                 sizeText(device.getDiskSize()).c_str());
    }
    changesCounted = rawdevice::mediaChangeCount(disk, changeCount);
    if (!changesCounted) {
        debugLog("%s : %s counts no media changes: %s\n", kModule, physicalPath.c_str(),
                 rawdevice::lastError().text.c_str());
    }
    return true;
}

// Another program may hold the disk for a moment (a backup starting, a
// disk tool): a sharing violation or a refusal is tried again for a few
// seconds before it counts.
rawdevice::Handle DriveTarget::openDisk() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(openPatienceMs);
    for (;;) {
        const rawdevice::Handle opened = rawdevice::openDisk(physicalPath.c_str());
        const rawdevice::Fault fault = rawdevice::lastError().fault;
        if (opened != rawdevice::kInvalidHandle ||
            (fault != rawdevice::Fault::Busy && fault != rawdevice::Fault::AccessDenied) ||
            std::chrono::steady_clock::now() >= end) {
            return opened;
        }
        sleepMs(250);
    }
}

bool DriveTarget::readFirstSector(MbrInfo& mbr, rawdevice::Error& error) {
    const uint32_t sector = device.getBytesPerSector();
    const uint32_t length =
        sector > mbr.size() && sector <= 65536 && sector % mbr.size() == 0 ? sector : mbr.size();
    ChunkBuffer buffer = allocateChunk(length);
    if (!buffer || !rawdevice::readAt(disk, 0, buffer.get(), length)) {
        error = rawdevice::lastError();
        return false;
    }
    std::memcpy(mbr.data(), buffer.get(), mbr.size());
    return true;
}

// A card that cannot be read here is not known to be anything else than a
// Quillon card: that is code 12, not 1.
bool DriveTarget::loadLayout(TargetFailure& failure) {
    if (!isReady()) {
        return fail(failure, ResultInvalidMedia, notReadyReason());
    }
    rawdevice::DriveGeometry geometry;
    rawdevice::clearLastError();
    if (!rawdevice::getDriveGeometry(disk, geometry) || !device.loadMbrFrom(disk)) {
        const rawdevice::Error why = rawdevice::lastError();
        debugLog("%s : %s cannot be read: %s\n", kModule, physicalPath.c_str(), why.text.c_str());
        return fail(failure, ResultCardUnreadable,
                    why.fault == rawdevice::Fault::Gone
                        ? formatText("the card cannot be read (%s): it was removed, or the "
                                     "reader holds none",
                                     why.text.c_str())
                        : formatText("the card's first sector and size cannot be read (%s)",
                                     why.text.c_str()));
    }
    checkedMbr = device.getMbr();
    // The size the card has now, through the handle that will write it.
    checkedDiskSize = geometry.diskSize;
    // The lock switch is asked before anything is unpacked, and again
    // before the first write: it may be moved meanwhile.
    return fitsMedium(failure) && !refusesWrites(failure);
}

bool DriveTarget::refusesWrites(TargetFailure& failure) {
    if (rawdevice::isWritable(disk)) {
        return false;
    }
    const rawdevice::Error why = rawdevice::lastError();
    if (why.fault == rawdevice::Fault::WriteProtected) {
        debugLog("%s : %s is write-protected\n", kModule, physicalPath.c_str());
        fail(failure, ResultWriteProtected,
             "the card is write-protected (its LOCK switch); nothing was written");
        return true;
    }
    // A reader that cannot answer: the writes themselves will tell.
    debugLog("%s : IOCTL_DISK_IS_WRITABLE gave no answer: %s\n", kModule, why.text.c_str());
    return false;
}

// A drive is written only inside its medium, and never over its MBR or its
// first partition: the MBR may place the root anywhere, and the copy writes
// wherever the update file's header (which matched it) says.
bool DriveTarget::fitsMedium(TargetFailure& failure) {
    if (!device.isValid()) {
        return true;  // not MBR: the root checks refuse it
    }
    const MbrInfo& mbr = device.getMbr();
    const uint64_t sectorSize = device.getBytesPerSector();
    const uint64_t start = mbr.getStartSector(1);
    const uint64_t end = start + mbr.getSectorCount(1);
    const uint64_t start0 = mbr.getStartSector(0);
    const uint64_t end0 = start0 + mbr.getSectorCount(0);
    if (start == 0 || (start0 < end0 && start < end0 && start0 < end)) {
        debugLog(
            "applyupdatefile : root partition overlaps sector 0 or partition 0 (%I64u - "
            "%I64u)\n",
            static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
        return fail(failure, ResultInvalidMedia,
                    formatText("the card's root partition (sectors %I64u to %I64u) overlaps its "
                               "first sector or its boot partition",
                               static_cast<unsigned long long>(start),
                               static_cast<unsigned long long>(end)));
    }
    if (end * sectorSize > checkedDiskSize) {
        debugLog("applyupdatefile : root partition ends at %I64u beyond the medium %I64u\n",
                 static_cast<unsigned long long>(end * sectorSize),
                 static_cast<unsigned long long>(checkedDiskSize));
        std::string card = sizeText(checkedDiskSize);
        std::string rootEnd = sizeText(end * sectorSize);
        if (card == rootEnd) {  // a few sectors short: only the bytes tell
            card = formatText("%I64u bytes", static_cast<unsigned long long>(checkedDiskSize));
            rootEnd = formatText("byte %I64u", static_cast<unsigned long long>(end * sectorSize));
        }
        return fail(failure, ResultInvalidMedia,
                    formatText("the card is %s, the root partition would end at %s", card.c_str(),
                               rootEnd.c_str()));
    }
    return true;
}

bool DriveTarget::holdsFile(const char* absPath) {
    int32_t number = -1;
    return isReady() && rawdevice::diskOfPath(absPath, number) && number == diskNumber();
}

bool DriveTarget::openForCopy(FILE*, TargetFailure& failure) {
    if (!isReady()) {
        return fail(failure, ResultWriteFailed, "the card is no longer open");
    }
    return true;
}

bool DriveTarget::prepareWrite(TargetFailure& failure) {
    if (refusesWrites(failure)) {
        return false;
    }
    rawdevice::Error claim;
    bool unmounted = false;
    const bool claimed = rawdevice::claimDisk(disk, claim, unmounted);
    // Linux unmounts any of the card's file systems: the root's among them.
    rootTaken = rootTaken || unmounted;
    if (!claimed) {
        return fail(failure,
                    claim.fault == rawdevice::Fault::Busy ? ResultCardInUse : ResultInvalidMedia,
                    claim.text + "; nothing was written");
    }
    // Last, after any wait for the volumes, during which a card can be swapped.
    return takeVolumes(failure) && stillTheCheckedCard(failure);
}

// The held handle names the reader, not the card: two cards flashed from
// one image have the same partition table and size, and only the reader's
// count of media changes tells them apart.
bool DriveTarget::sameMedium(int code, const char* why, TargetFailure& failure) {
    if (!changesCounted) {
        return true;
    }
    uint32_t now = 0;
    if (!rawdevice::mediaChangeCount(disk, now)) {
        const rawdevice::Error error = rawdevice::lastError();
        debugLog("%s : %s does not say which card it holds: %s\n", kModule, physicalPath.c_str(),
                 error.text.c_str());
        return fail(failure, code, formatText("%s (%s)", why, error.text.c_str()));
    }
    if (now != changeCount) {
        debugLog("%s : the card in %s changed (media change count %lu, was %lu)\n", kModule,
                 physicalPath.c_str(), static_cast<unsigned long>(now),
                 static_cast<unsigned long>(changeCount));
        return fail(failure, code, why);
    }
    return true;
}

// Right before the first write: the card in the reader is the one whose
// partition table and size were checked, read again through the held drive.
bool DriveTarget::stillTheCheckedCard(TargetFailure& failure) {
    if (!sameMedium(ResultCardUnreadable,
                    "the card was removed or replaced after it was checked; nothing was written",
                    failure)) {
        return false;
    }
    MbrInfo now;
    rawdevice::Error error;
    rawdevice::DriveGeometry geometry;
    if (!readFirstSector(now, error) || !rawdevice::getDriveGeometry(disk, geometry)) {
        if (error.text.empty()) {
            error = rawdevice::lastError();
        }
        debugLog("%s : read again %s fail %s\n", kModule, physicalPath.c_str(), error.text.c_str());
        return fail(failure, ResultCardUnreadable,
                    formatText("the card could not be read again before writing (%s); nothing "
                               "was written",
                               error.text.c_str()));
    }
    if (std::memcmp(now.data(), checkedMbr.data(), now.size()) != 0 ||
        geometry.diskSize != checkedDiskSize) {
        debugLog("%s : %s changed since it was checked (size %I64u, was %I64u)\n", kModule,
                 physicalPath.c_str(), static_cast<unsigned long long>(geometry.diskSize),
                 static_cast<unsigned long long>(checkedDiskSize));
        return fail(failure, ResultCardUnreadable,
                    "the card's partition table or size changed after it was checked (another "
                    "card in the reader?); nothing was written");
    }
    return true;
}

// Explorer, an indexer or a virus scanner may hold a volume open for a
// moment; the writers people trust try for about fifteen seconds. A stop is
// looked for between the attempts.
DriveTarget::Lock DriveTarget::lockWithPatience(rawdevice::Handle volume) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockPatienceMs);
    for (;;) {
        if (rawdevice::lockVolume(volume)) {
            return Lock::Taken;
        }
        if (stopped && stopped()) {
            return Lock::Stopped;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return Lock::Refused;
        }
        sleepMs(lockPatienceMs < 5000 ? 50 : 200);
    }
}

// Windows refuses writes into a mounted volume with a file system unless it
// is locked or dismounted: every volume over the root is taken, or nothing
// is written. The chosen letter's own volume is tried as well; outside the
// root it is never written, so a refusal there is only logged.
bool DriveTarget::takeVolumes(TargetFailure& failure) {
    const uint64_t rootOffset = device.getRootOffset();
    const uint64_t rootSize = device.getRootSize();
    const std::string letterPath = volumePathOf(driveName);
    const char letter = static_cast<char>(
        std::toupper(static_cast<unsigned char>(driveName.empty() ? '\0' : driveName[0])));
    bool letterOverlaps = false;
    for (const rawdevice::DiskVolume& volume : rawdevice::volumesOnDisk(diskNumber())) {
        bool over = false;
        for (const rawdevice::VolumeExtent& extent : volume.extents) {
            over = over || overlaps(rootOffset, rootSize, extent.offset, extent.length);
        }
        if (!over) {
            continue;
        }
        letterOverlaps = letterOverlaps || volume.letters.find(letter) != std::string::npos;
        const rawdevice::Handle handle = rawdevice::openVolume(volume.path.c_str(), true);
        const Lock lock =
            handle != rawdevice::kInvalidHandle ? lockWithPatience(handle) : Lock::Refused;
        // The reason of whichever call refused: the open, the lock or the dismount.
        const bool taken = lock == Lock::Taken && rawdevice::dismountVolume(handle);
        const rawdevice::Error why = rawdevice::lastError();
        if (lock == Lock::Stopped) {
            rawdevice::closeHandle(handle);
            debugLog("%s : stopped while %s was in use\n", kModule, volume.path.c_str());
            releaseVolumes();
            return fail(failure, ResultNone, "the update was stopped; nothing was written");
        }
        if (!taken) {
            if (handle != rawdevice::kInvalidHandle) {
                rawdevice::closeHandle(handle);
            }
            debugLog("%s : volume %s over the root stays in use: %s\n", kModule,
                     volume.path.c_str(), why.text.c_str());
            releaseVolumes();
            return fail(failure, ResultCardInUse,
                        formatText("a volume of the card over its root partition is in use by "
                                   "another program (%s); nothing was written",
                                   why.text.c_str()));
        }
        debugLog("%s : locked and dismounted %s\n", kModule, volume.path.c_str());
        lockedVolumes.push_back(handle);
        rootTaken = true;
    }
    if (!letterOverlaps) {
        UnmountDrive letter(driveName.empty() ? '\0' : driveName[0]);
        if (!letter.unmount()) {
            debugLog("%s : %s lies outside the root partition; the update goes on\n", kModule,
                     letterPath.c_str());
        } else {
            lockedVolumes.push_back(letter.detach());
        }
    }
    return true;
}

bool DriveTarget::read(uint64_t offset, void* buffer, uint32_t length, rawdevice::Error& error) {
    if (!rawdevice::readAt(disk, offset, buffer, length)) {
        error = rawdevice::lastError();
        return false;
    }
    return true;
}

bool DriveTarget::write(uint64_t offset, const void* buffer, uint32_t length,
                        rawdevice::Error& error) {
    if (!rawdevice::writeAt(disk, offset, buffer, length)) {
        error = rawdevice::lastError();
        return false;
    }
    return true;
}

bool DriveTarget::finishCopy(bool wrote, TargetFailure& failure) {
    // Pieces judged equal on one card say nothing of another.
    if (!wrote) {
        return sameMedium(ResultCardUnreadable,
                          "the card was removed or replaced while it was compared; nothing was "
                          "written",
                          failure);
    }
    if (!rawdevice::flush(disk)) {
        const rawdevice::Error error = rawdevice::lastError();
        debugLog("applyupdatefile : sync error %s\n", error.text.c_str());
        return fail(failure, ResultWriteFailed,
                    error.fault == rawdevice::Fault::Gone
                        ? "the card was removed before the written data reached it; put it "
                          "back and update again"
                        : formatText("the card did not take the written data (sync failed: %s)",
                                     error.text.c_str()));
    }
    return sameMedium(ResultWriteFailed, kSwappedWhileWritten, failure);
}

// Reading back another card would prove nothing of the one written.
bool DriveTarget::openForReadBack(TargetFailure& failure) {
    return sameMedium(ResultWriteFailed, kSwappedWhileWritten, failure);
}

void DriveTarget::release() {
    // The drive first: a volume unlocked while the drive is still being
    // written could be mounted again under the write.
    if (disk != rawdevice::kInvalidHandle) {
        rawdevice::closeHandle(disk);
        disk = rawdevice::kInvalidHandle;
    }
    releaseVolumes();
}

void DriveTarget::releaseVolumes() {
    for (const rawdevice::Handle volume : lockedVolumes) {
        rawdevice::closeHandle(volume);
    }
    lockedVolumes.clear();
}

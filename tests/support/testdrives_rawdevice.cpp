// Raw-storage calls of the test build, QuillonUpdateTest.exe: the removable
// drives are image files named by the environment variable
// QUILLON_TEST_DRIVES, such as "E=Z:\tmp\card.img;G=Z:\tmp\other.img". The
// pair at position n (from 0) is the physical drive "\\.\PHYSICALDRIVEn".
// Wine resolves no drive letter to a physical drive, so a whole update from
// the window can only run on these. Windows only; the product never links it.
//
// The model behaves as Windows documents its disks. Each partition of the
// image's MBR is a volume; the letter names partition 0's. A FAT partition
// has a file system; the root (type 83) is RAW to Windows unless "|rootfs"
// says otherwise. A disk handle reads and writes only whole sectors at
// sector offsets through sector-aligned memory, as unbuffered I/O must
// ("File Buffering"), and fails anything else with ERROR_INVALID_PARAMETER.
// Flags after the image, each behind a '|', with the Microsoft
// documentation each follows:
//   sector=N    the disk has N-byte sectors (512 without it), 4096 for one
//               that reports its physical sectors; the MBR counts in them
//   locked      the letter's volume refuses FSCTL_LOCK_VOLUME for good, with
//               ERROR_ACCESS_DENIED ("FSCTL_LOCK_VOLUME": fails while any file
//               on the volume is open)
//   rootlocked  the root's volume refuses it for good (a program holds a file open)
//   rootbusy    the root's volume refuses it for the first 2 s (Explorer, briefly)
//   rootnodismount  the root's volume locks, but refuses FSCTL_DISMOUNT_VOLUME
//               with ERROR_ACCESS_DENIED
//   rootfs      the root partition has a mounted file system, so writes into it
//               are refused until it is locked ("Blocking direct write operations
//               to volumes and disks", KB942448; see intoMountedFileSystem)
//   readonly    the card's lock switch is on: IOCTL_DISK_IS_WRITABLE and
//               WriteFile fail with ERROR_WRITE_PROTECT
//   silentreadonly  the same switch in a reader that does not report it:
//               IOCTL_DISK_IS_WRITABLE succeeds, WriteFile fails as above
//   replaced=PATH  after the first read of the held disk the card is swapped
//               for PATH: the disk handle meets the other card, and
//               IOCTL_STORAGE_CHECK_VERIFY2 counts one media change
//   pullread=N  the card is pulled out after N reads of the held disk
//   diskbusy    another program holds the disk for the first second: opening
//               it fails with ERROR_SHARING_VIOLATION
//   diskheld    another program holds the disk for good: opening it for
//               reading and writing fails with ERROR_ACCESS_DENIED
//   swap=PATH   the disk is renumbered: after the first open of its number,
//               that number leads to PATH ("Naming a file": \\.\PHYSICALDRIVEn
//               names whichever disk holds number n now)
//   pull=N      the card is pulled out after N writes; from then on every call
//               fails with ERROR_NOT_READY, as a reader without its card answers
//   files=DIR   files under the folder DIR lie on the card's volume
//   slow=MS     each write to the disk takes MS milliseconds more (a slow card)
//   fixed       the reader reports a fixed disk (GetDriveType DRIVE_FIXED) on a
//               USB bus (STORAGE_DEVICE_DESCRIPTOR BusType); with sata on a
//               SATA bus; with system it is the disk that holds Windows, with
//               program the disk the program runs from
//   empty       the reader slot holds no card: IOCTL_STORAGE_CHECK_VERIFY2 fails
//               with ERROR_NOT_READY
//   denied      the program runs without administrator rights: opening the
//               volume or the disk fails with ERROR_ACCESS_DENIED ("CreateFile":
//               direct access to a disk or volume needs administrator rights),
//               while a volume opened with no access still answers queries
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/common.h"
#include "common/systemerror.h"
#include "storage/overlapped_win.h"
#include "storage/rawdevice.h"

namespace rawdevice {

namespace {

const char* const kVariable = "QUILLON_TEST_DRIVES";
// Failures are logged with the system's reason, as the product's raw calls do.
const char* const kModule = "deviceinfo";

// letter 0: an item that is no "L=path" pair; it still takes its position.
struct TestDrive {
    char letter = 0;
    std::string image;
    bool lockRefused = false;
    bool rootLocked = false;
    bool rootBusy = false;
    bool rootFileSystem = false;
    bool readOnly = false;
    bool silentReadOnly = false;
    std::string replaced;  // the card swapped in after the first read
    int pullAfterReads = -1;
    bool diskBusy = false;
    bool diskHeld = false;
    bool rootNoDismount = false;
    bool program = false;  // the disk the program runs from
    std::string swap;
    int pullAfter = -1;
    int slowMs = 0;
    std::string files;    // a folder whose files count as on the card
    bool fixed = false;   // reported as a fixed disk
    bool sata = false;    // on a SATA bus rather than USB
    bool system = false;  // the disk Windows runs from
    bool empty = false;   // the reader holds no card
    bool denied = false;  // no administrator rights
    uint32_t sectorSize = 512;
};

// Read on every call, so that a test may change the variable between steps.
std::vector<TestDrive> testDrives() {
    std::vector<TestDrive> drives;
    const DWORD needed = ::GetEnvironmentVariableA(kVariable, nullptr, 0);
    if (needed == 0) {
        return drives;
    }
    std::string value(needed, '\0');
    const DWORD length = ::GetEnvironmentVariableA(kVariable, &value[0], needed);
    value.resize(length < needed ? length : 0);
    size_t start = 0;
    while (start < value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos) {
            end = value.size();
        }
        const std::string item = value.substr(start, end - start);
        start = end + 1;
        if (item.empty()) {
            continue;
        }
        char letter = item[0];
        if (letter >= 'a' && letter <= 'z') {
            letter = static_cast<char>(letter - 'a' + 'A');
        }
        const bool pair = letter >= 'A' && letter <= 'Z' && item.size() > 2 && item[1] == '=';
        TestDrive drive;
        if (!pair) {
            drives.push_back(drive);
            continue;
        }
        drive.letter = letter;
        // '|' cannot occur in a Windows path, so a flag is never part of one.
        std::string rest = item.substr(2);
        size_t bar = rest.find('|');
        drive.image = rest.substr(0, bar);
        while (bar != std::string::npos) {
            const size_t next = rest.find('|', bar + 1);
            const std::string flag =
                rest.substr(bar + 1, next == std::string::npos ? next : next - bar - 1);
            bar = next;
            if (flag == "locked") {
                drive.lockRefused = true;
            } else if (flag == "rootlocked") {
                drive.rootLocked = true;
            } else if (flag == "rootbusy") {
                drive.rootBusy = true;
            } else if (flag == "rootfs") {
                drive.rootFileSystem = true;
            } else if (flag == "fixed") {
                drive.fixed = true;
            } else if (flag == "sata") {
                drive.sata = true;
            } else if (flag == "system") {
                drive.system = true;
            } else if (flag == "empty") {
                drive.empty = true;
            } else if (flag == "denied") {
                drive.denied = true;
            } else if (flag == "readonly") {
                drive.readOnly = true;
            } else if (flag == "silentreadonly") {
                drive.silentReadOnly = true;
            } else if (flag.compare(0, 9, "replaced=") == 0) {
                drive.replaced = flag.substr(9);
            } else if (flag.compare(0, 9, "pullread=") == 0) {
                drive.pullAfterReads = std::atoi(flag.c_str() + 9);
            } else if (flag == "diskbusy") {
                drive.diskBusy = true;
            } else if (flag == "diskheld") {
                drive.diskHeld = true;
            } else if (flag == "rootnodismount") {
                drive.rootNoDismount = true;
            } else if (flag == "program") {
                drive.program = true;
            } else if (flag.compare(0, 7, "sector=") == 0 && std::atoi(flag.c_str() + 7) >= 512) {
                drive.sectorSize = static_cast<uint32_t>(std::atoi(flag.c_str() + 7));
            } else if (flag.compare(0, 5, "swap=") == 0) {
                drive.swap = flag.substr(5);
            } else if (flag.compare(0, 6, "files=") == 0) {
                drive.files = flag.substr(6);
            } else if (flag.compare(0, 5, "pull=") == 0) {
                drive.pullAfter = std::atoi(flag.c_str() + 5);
            } else if (flag.compare(0, 5, "slow=") == 0) {
                drive.slowMs = std::atoi(flag.c_str() + 5);
            }
        }
        drives.push_back(drive);
    }
    return drives;
}

// Position of the first pair with this letter, or -1.
int driveOfLetter(const std::vector<TestDrive>& drives, char letter) {
    if (letter >= 'a' && letter <= 'z') {
        letter = static_cast<char>(letter - 'a' + 'A');
    }
    for (size_t i = 0; i < drives.size(); ++i) {
        if (drives[i].letter != 0 && drives[i].letter == letter) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The number n of "\\.\PHYSICALDRIVEn" when it names a pair; else -1.
int numberOfPhysicalDrive(const char* path, const std::vector<TestDrive>& drives) {
    int number = -1;
    int used = 0;
    if (std::sscanf(path, "\\\\.\\PHYSICALDRIVE%d%n", &number, &used) != 1 || path[used] != '\0' ||
        number < 0 || static_cast<size_t>(number) >= drives.size() || drives[number].letter == 0) {
        return -1;
    }
    return number;
}

// Handles the model gave out: a volume (partition p of disk n) or a disk.
// A disk reads and writes the medium in its slot, which is the image it was
// opened on unless the card was changed since.
struct Open {
    bool isVolume;
    int32_t disk;
    int partition;  // volumes only; 0 is the letter's
    HANDLE medium = INVALID_HANDLE_VALUE;
    bool locked = false;
    int writes = 0;  // disks only
    int reads = 0;
};
// The user interface and the update job's worker both name drives.
std::mutex modelMutex;
std::map<Handle, Open> opened;
std::map<int32_t, int> opensByNumber;       // for swap=
std::map<int32_t, DWORD> firstRootLockTry;  // for rootbusy
std::map<int32_t, ULONG> mediaChanges;      // for replaced=
std::map<int32_t, DWORD> firstDiskOpen;     // for diskbusy

Handle openImage(const std::string& image, DWORD access, DWORD share, DWORD flags) {
    const HANDLE h =
        ::CreateFileA(image.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    // CreateFileA fails with INVALID_HANDLE_VALUE, not NULL.
    if (h == INVALID_HANDLE_VALUE) {
        rememberLastError();
        systemerror::logLast(kModule, "CreateFileA", image.c_str());
        return kInvalidHandle;
    }
    return reinterpret_cast<Handle>(h);
}

bool fails(DWORD error) {
    ::SetLastError(error);
    rememberLastError();
    return false;
}

// What a handle reads and writes, and the disk it belongs to (-1 for a
// handle the model did not give out, which is used as it is).
HANDLE mediumOf(Handle handle, int32_t& disk) {
    std::lock_guard<std::mutex> lock(modelMutex);
    const auto it = opened.find(handle);
    if (it == opened.end()) {
        disk = -1;
        return reinterpret_cast<HANDLE>(handle);
    }
    disk = it->second.disk;
    return it->second.medium;
}
HANDLE mediumOf(Handle handle) {
    int32_t disk = -1;
    return mediumOf(handle, disk);
}

// A card pulled out of its reader answers "not ready" from then on.
bool pulled(Handle disk, const std::vector<TestDrive>& drives) {
    std::lock_guard<std::mutex> lock(modelMutex);
    const auto it = opened.find(disk);
    if (it == opened.end() || it->second.isVolume) {
        return false;
    }
    const TestDrive& drive = drives[it->second.disk];
    return (drive.pullAfter >= 0 && it->second.writes >= drive.pullAfter) ||
           (drive.pullAfterReads >= 0 && it->second.reads >= drive.pullAfterReads);
}

// The partitions of an image's MBR as volumes: byte ranges, and whether
// Windows would mount a file system there (FAT and NTFS types; ext4 is RAW).
struct Partition {
    uint64_t offset, length;
    bool fileSystem;
};
std::vector<Partition> partitionsOf(const TestDrive& drive) {
    std::vector<Partition> parts(4, Partition{0, 0, false});
    const uint64_t sector = drive.sectorSize;
    unsigned char mbr[512] = {};
    if (FILE* f = std::fopen(drive.image.c_str(), "rb")) {
        if (std::fread(mbr, 1, sizeof mbr, f) != sizeof mbr) {
            std::memset(mbr, 0, sizeof mbr);
        }
        std::fclose(f);
    }
    for (int i = 0; i < 4; ++i) {
        const unsigned char* e = mbr + 446 + 16 * i;
        const uint32_t start = e[8] | e[9] << 8 | e[10] << 16 | static_cast<uint32_t>(e[11]) << 24;
        const uint32_t count =
            e[12] | e[13] << 8 | e[14] << 16 | static_cast<uint32_t>(e[15]) << 24;
        const unsigned char type = e[4];
        const bool fat = type == 0x01 || type == 0x04 || type == 0x06 || type == 0x07 ||
                         type == 0x0b || type == 0x0c || type == 0x0e;
        parts[i] =
            Partition{start * sector, count * sector, fat || (i == 1 && drive.rootFileSystem)};
    }
    return parts;
}

// "\\.\X:" is partition 0 of X's disk; "\\?\Volume{n-p}" partition p of disk n.
// A volume handle only asks and locks; it reads through the image and never
// writes, so it never conflicts with the held disk.
Handle openVolumeAs(const char* volumePath, DWORD access, bool needsRights) {
    const std::vector<TestDrive> drives = testDrives();
    int number = -1;
    int partition = 0;
    int used = 0;
    if (std::strlen(volumePath) == 6 && std::strncmp(volumePath, "\\\\.\\", 4) == 0 &&
        volumePath[5] == ':') {
        number = driveOfLetter(drives, volumePath[4]);
    } else if (std::sscanf(volumePath, "\\\\?\\Volume{%d-%d}%n", &number, &partition, &used) != 2 ||
               volumePath[used] != '\0' || number < 0 ||
               static_cast<size_t>(number) >= drives.size() || partition < 0 || partition > 3) {
        number = -1;
    }
    if (number < 0 || (needsRights && drives[number].denied)) {
        fails(number < 0 ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return kInvalidHandle;
    }
    const Handle h = openImage(drives[number].image, access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               FILE_ATTRIBUTE_NORMAL);
    if (h != kInvalidHandle) {
        std::lock_guard<std::mutex> lock(modelMutex);
        opened[h] = Open{true, number, partition, reinterpret_cast<HANDLE>(h)};
    }
    return h;
}

}  // namespace

Handle openVolume(const char* volumePath, bool) {
    return openVolumeAs(volumePath, GENERIC_READ, true);
}

Handle openVolumeToAsk(const char* volumePath) {
    return openVolumeAs(volumePath, FILE_READ_ATTRIBUTES, false);
}

bool getDiskExtents(Handle volume, uint32_t& numberOfExtents, int32_t& firstDiskNumber) {
    std::lock_guard<std::mutex> lock(modelMutex);
    const auto it = opened.find(volume);
    if (it == opened.end() || !it->second.isVolume) {
        return fails(ERROR_INVALID_FUNCTION);
    }
    numberOfExtents = 1;
    firstDiskNumber = it->second.disk;
    return true;
}

bool getDeviceNumber(Handle handle, int32_t& number) {
    std::lock_guard<std::mutex> lock(modelMutex);
    const auto it = opened.find(handle);
    if (it == opened.end()) {
        return fails(ERROR_INVALID_FUNCTION);
    }
    number = it->second.disk;
    return true;
}

bool getDriveGeometry(Handle handle, DriveGeometry& g) {
    const std::vector<TestDrive> drives = testDrives();
    if (pulled(handle, drives)) {
        return fails(ERROR_NOT_READY);
    }
    int32_t number = -1;
    const HANDLE medium = mediumOf(handle, number);
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(medium, &size)) {
        rememberLastError();
        return false;
    }
    g = DriveGeometry();
    g.bytesPerSector = number >= 0 && static_cast<size_t>(number) < drives.size()
                           ? drives[number].sectorSize
                           : 512;
    g.diskSize = static_cast<uint64_t>(size.QuadPart);
    g.tracksPerCylinder = 255;
    g.sectorsPerTrack = 63;
    g.cylinders = static_cast<int64_t>(g.diskSize / (uint64_t{g.bytesPerSector} * 255 * 63));
    g.mediaType = 11;  // RemovableMedia
    g.partitionStyle = 0;
    g.detectionType = 0;
    return true;
}

std::string physicalDrivePath(int number) {
    return "\\\\.\\PHYSICALDRIVE" + std::to_string(number);
}

Handle openPhysicalDrive(const char* path) {
    const std::vector<TestDrive> drives = testDrives();
    const int number = numberOfPhysicalDrive(path, drives);
    if (number < 0 || drives[number].denied) {
        fails(number < 0 ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return kInvalidHandle;
    }
    const Handle h = openImage(drives[number].image, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_ATTRIBUTE_NORMAL);
    if (h != kInvalidHandle) {
        std::lock_guard<std::mutex> lock(modelMutex);
        opened[h] = Open{false, number, -1, reinterpret_cast<HANDLE>(h)};
    }
    return h;
}

// Windows gives a newly arrived disk the lowest free number: after swap=,
// a second open of the number meets the other disk.
Handle openDisk(const char* path) {
    const std::vector<TestDrive> drives = testDrives();
    const int number = numberOfPhysicalDrive(path, drives);
    if (number < 0 || drives[number].denied) {
        fails(number < 0 ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return kInvalidHandle;
    }
    bool held = drives[number].diskHeld;
    if (drives[number].diskBusy) {
        std::lock_guard<std::mutex> lock(modelMutex);
        const DWORD now = ::GetTickCount();
        held = now - firstDiskOpen.emplace(number, now).first->second < 1000;
    }
    if (held) {
        fails(drives[number].diskHeld ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
        systemerror::logLast(kModule, "CreateFileA", path);
        return kInvalidHandle;
    }
    std::string image = drives[number].image;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        if (opensByNumber[number]++ > 0 && !drives[number].swap.empty()) {
            image = drives[number].swap;
        }
    }
    const Handle h =
        openImage(image, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
    if (h != kInvalidHandle) {
        std::lock_guard<std::mutex> lock(modelMutex);
        opened[h] = Open{false, number, -1, reinterpret_cast<HANDLE>(h)};
    }
    return h;
}

namespace {

// The sector size of the disk behind a handle the model gave out; 0 for any
// other handle.
uint32_t sectorOf(Handle handle, const std::vector<TestDrive>& drives) {
    int32_t number = -1;
    mediumOf(handle, number);
    return number >= 0 && static_cast<size_t>(number) < drives.size() ? drives[number].sectorSize
                                                                      : 0;
}

// Raw disks move whole sectors only; an unbuffered handle also needs sector
// offsets and memory aligned to the sector.
bool misaligned(Handle disk, const std::vector<TestDrive>& drives, uint64_t offset,
                const void* buffer, uint32_t length) {
    const uint32_t sector = sectorOf(disk, drives);
    if (sector == 0 || (offset % sector == 0 && length % sector == 0 &&
                        reinterpret_cast<uintptr_t>(buffer) % sector == 0)) {
        return false;
    }
    debugLog("%s : I/O of %lu bytes at %I64u from %p is not in whole %lu-byte sectors\n", kModule,
             static_cast<unsigned long>(length), static_cast<unsigned long long>(offset), buffer,
             static_cast<unsigned long>(sector));
    return true;
}

}  // namespace

bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t& bytesRead) {
    const uint32_t sector = sectorOf(handle, testDrives());
    if (sector != 0 && length % sector != 0) {
        bytesRead = 0;
        return fails(ERROR_INVALID_PARAMETER);
    }
    DWORD got = 0;
    const BOOL ok = ::ReadFile(reinterpret_cast<HANDLE>(handle), buffer, length, &got, nullptr);
    bytesRead = got;
    return ok != 0;
}

namespace {

// Counts a read or a write of a disk handle; after the first read a card
// marked replaced= is swapped for the other one.
void countAccess(Handle disk, const std::vector<TestDrive>& drives, bool writing) {
    std::lock_guard<std::mutex> lock(modelMutex);
    const auto it = opened.find(disk);
    if (it == opened.end() || it->second.isVolume) {
        return;
    }
    Open& held = it->second;
    ++(writing ? held.writes : held.reads);
    const std::string& other = drives[held.disk].replaced;
    if (writing || held.reads != 1 || other.empty()) {
        return;
    }
    const HANDLE card = ::CreateFileA(other.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (card != INVALID_HANDLE_VALUE) {
        if (held.medium != reinterpret_cast<HANDLE>(disk)) {
            ::CloseHandle(held.medium);
        }
        held.medium = card;
        ++mediaChanges[held.disk];
    }
}

// "Write operations on a disk handle will succeed if the sectors being
// written to are not within a volume's extents, fall within a mounted
// volume that has explicitly been locked or dismounted, or fall within a
// volume that has no mounted file system other than RAW" (Microsoft, on the
// restrictions of direct disk access since Windows Vista).
bool intoMountedFileSystem(Handle disk, const std::vector<TestDrive>& drives, uint64_t offset,
                           uint64_t length) {
    std::lock_guard<std::mutex> lock(modelMutex);
    const auto it = opened.find(disk);
    if (it == opened.end()) {
        return false;
    }
    const int32_t number = it->second.disk;
    const std::vector<Partition> parts = partitionsOf(drives[number]);
    for (int p = 0; p < 4; ++p) {
        const Partition& part = parts[p];
        if (!part.fileSystem || part.length == 0 || offset >= part.offset + part.length ||
            part.offset >= offset + length) {
            continue;
        }
        bool locked = false;
        for (const auto& h : opened) {
            locked = locked || (h.second.isVolume && h.second.disk == number &&
                                h.second.partition == p && h.second.locked);
        }
        if (!locked) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool readAt(Handle disk, uint64_t offset, void* buffer, uint32_t length) {
    const std::vector<TestDrive> drives = testDrives();
    if (misaligned(disk, drives, offset, buffer, length)) {
        return fails(ERROR_INVALID_PARAMETER);
    }
    if (pulled(disk, drives)) {
        return fails(ERROR_NOT_READY);
    }
    OVERLAPPED position = overlappedAt(offset);
    DWORD got = 0;
    if (!::ReadFile(mediumOf(disk), buffer, length, &got, &position)) {
        rememberLastError();
        return false;
    }
    countAccess(disk, drives, false);
    return got == length || fails(ERROR_HANDLE_EOF);
}

bool writeAt(Handle disk, uint64_t offset, const void* buffer, uint32_t length) {
    const std::vector<TestDrive> drives = testDrives();
    if (misaligned(disk, drives, offset, buffer, length)) {
        return fails(ERROR_INVALID_PARAMETER);
    }
    int32_t number = -1;
    getDeviceNumber(disk, number);
    if (number >= 0 && (drives[number].readOnly || drives[number].silentReadOnly)) {
        return fails(ERROR_WRITE_PROTECT);
    }
    if (intoMountedFileSystem(disk, drives, offset, length)) {
        systemerror::logLast(kModule, "WriteFile (into a mounted file system)", nullptr);
        return fails(ERROR_ACCESS_DENIED);
    }
    if (pulled(disk, drives)) {
        return fails(ERROR_NOT_READY);
    }
    if (number >= 0 && drives[number].slowMs > 0) {
        ::Sleep(static_cast<DWORD>(drives[number].slowMs));
    }
    OVERLAPPED position = overlappedAt(offset);
    DWORD put = 0;
    if (!::WriteFile(mediumOf(disk), buffer, length, &put, &position)) {
        rememberLastError();
        return false;
    }
    countAccess(disk, drives, true);
    return put == length || fails(ERROR_DISK_FULL);
}

bool flush(Handle disk) {
    if (pulled(disk, testDrives())) {
        return fails(ERROR_NOT_READY);
    }
    if (!::FlushFileBuffers(mediumOf(disk))) {
        rememberLastError();
        return false;
    }
    return true;
}

// As on Windows: the volumes are locked apart.
bool claimDisk(Handle, Error&, bool& unmounted) {
    unmounted = false;
    return true;
}

// IOCTL_DISK_IS_WRITABLE fails with ERROR_WRITE_PROTECT on a protected medium.
bool isWritable(Handle disk) {
    int32_t number = -1;
    const std::vector<TestDrive> drives = testDrives();
    if (!getDeviceNumber(disk, number)) {
        return false;
    }
    return !drives[number].readOnly || fails(ERROR_WRITE_PROTECT);
}

// A reader without its card answers "not ready"; one with a card counts the
// cards it has seen.
bool mediaChangeCount(Handle disk, uint32_t& count) {
    if (pulled(disk, testDrives())) {
        return fails(ERROR_NOT_READY);
    }
    std::lock_guard<std::mutex> lock(modelMutex);
    const auto it = opened.find(disk);
    if (it == opened.end() || it->second.isVolume) {
        return fails(ERROR_INVALID_FUNCTION);
    }
    count = 1 + mediaChanges[it->second.disk];
    return true;
}

std::vector<DiskVolume> volumesOnDisk(int32_t number) {
    std::vector<DiskVolume> volumes;
    const std::vector<TestDrive> drives = testDrives();
    if (number < 0 || static_cast<size_t>(number) >= drives.size() || drives[number].letter == 0) {
        return volumes;
    }
    const std::vector<Partition> parts = partitionsOf(drives[number]);
    for (int p = 0; p < 4; ++p) {
        if (parts[p].length == 0) {
            continue;
        }
        DiskVolume v;
        v.path = "\\\\?\\Volume{" + std::to_string(number) + "-" + std::to_string(p) + "}";
        v.extents.push_back(VolumeExtent{parts[p].offset, parts[p].length});
        if (p == 0) {
            v.letters = std::string(1, drives[number].letter);
        }
        volumes.push_back(v);
    }
    return volumes;
}

bool diskOfPath(const char* path, int32_t& number) {
    const std::vector<TestDrive> drives = testDrives();
    // Windows and the program lie on the machine's own disk, unless a test
    // drive says it holds them.
    const std::string system = systemFolder();
    const bool isSystem = !system.empty() && _strnicmp(path, system.c_str(), system.size()) == 0;
    const bool isProgram = _stricmp(path, programPath().c_str()) == 0;
    number = 99;
    for (size_t i = 0; i < drives.size(); ++i) {
        if ((isSystem && drives[i].system) || (isProgram && drives[i].program)) {
            number = static_cast<int32_t>(i);
        }
    }
    if (isSystem || isProgram) {
        return true;
    }
    for (size_t i = 0; i < drives.size(); ++i) {
        const std::string& folder = drives[i].files;
        if (!folder.empty() && _strnicmp(path, folder.c_str(), folder.size()) == 0) {
            number = static_cast<int32_t>(i);
            return true;
        }
    }
    return false;
}

// Only a volume marked busy refuses, with the error Windows gives for a
// volume in use.
bool lockVolume(Handle volume) {
    Open held{true, -1, 0};
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        const auto it = opened.find(volume);
        if (it == opened.end() || !it->second.isVolume) {
            return fails(ERROR_INVALID_HANDLE);
        }
        held = it->second;
    }
    const std::vector<TestDrive> drives = testDrives();
    const TestDrive& drive = drives[held.disk];
    bool refused = held.partition == 0 && drive.lockRefused;
    if (held.partition == 1) {
        std::lock_guard<std::mutex> lock(modelMutex);
        const DWORD now = ::GetTickCount();
        const auto first = firstRootLockTry.emplace(held.disk, now).first->second;
        refused = drive.rootLocked || (drive.rootBusy && now - first < 2000);
    }
    if (refused) {
        return fails(ERROR_ACCESS_DENIED);
    }
    std::lock_guard<std::mutex> lock(modelMutex);
    opened[volume].locked = true;
    return true;
}

bool dismountVolume(Handle volume) {
    const std::vector<TestDrive> drives = testDrives();
    std::lock_guard<std::mutex> lock(modelMutex);
    const auto it = opened.find(volume);
    const bool refused =
        it != opened.end() && it->second.partition == 1 && drives[it->second.disk].rootNoDismount;
    if (it == opened.end() || refused) {
        fails(refused ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        systemerror::logLast(kModule, "FSCTL_DISMOUNT_VOLUME", nullptr);
        return false;
    }
    return true;
}

void closeHandle(Handle handle) {
    HANDLE medium = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        const auto it = opened.find(handle);
        if (it != opened.end()) {
            medium = it->second.medium;
            opened.erase(it);
        }
    }
    if (medium != INVALID_HANDLE_VALUE && medium != reinterpret_cast<HANDLE>(handle)) {
        ::CloseHandle(medium);
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool storageDevice(Handle handle, StorageDevice& device) {
    int32_t number = -1;
    if (!getDeviceNumber(handle, number)) {
        return false;
    }
    const std::vector<TestDrive> drives = testDrives();
    device.bus = drives[number].sata ? 11 : kBusUsb;
    device.vendor = "Quillon";
    device.product = "Test Drive";
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

bool hasMedia(const char* volumePath) {
    const std::vector<TestDrive> drives = testDrives();
    const int number = std::strlen(volumePath) == 6 ? driveOfLetter(drives, volumePath[4]) : -1;
    if (number >= 0 && drives[number].empty) {
        return fails(ERROR_NOT_READY);
    }
    return true;  // the open says the rest
}

uint32_t logicalDrives() {
    uint32_t mask = 0;
    for (const TestDrive& d : testDrives()) {
        if (d.letter != 0) {
            mask |= 1u << (d.letter - 'A');
        }
    }
    return mask;
}

uint32_t driveType(const char* rootPath) {
    const std::vector<TestDrive> drives = testDrives();
    const int number = driveOfLetter(drives, rootPath[0]);
    if (number < 0) {
        return DRIVE_NO_ROOT_DIR;
    }
    return drives[number].fixed ? kDriveFixed : kDriveRemovable;
}

}  // namespace rawdevice

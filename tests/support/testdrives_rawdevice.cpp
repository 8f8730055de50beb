// Raw-storage calls of the test build, QuillonUpdateTest.exe: the removable
// drives are image files named by the environment variable
// QUILLON_TEST_DRIVES, such as "E=Z:\tmp\card.img;G=Z:\tmp\other.img". The
// pair at position n (from 0) is the physical drive "\\.\PHYSICALDRIVEn".
// An image followed by "|locked" is a volume that refuses the lock, as one
// with open files does.
// Wine resolves no drive letter to a physical drive, so a whole update from
// the window can only run on these. Windows only; the product never links it.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/systemerror.h"
#include "storage/rawdevice.h"

namespace rawdevice {

namespace {

const char* const kVariable = "QUILLON_TEST_DRIVES";
// Failures are logged with the system's reason, as the product's raw calls do.
const char* const kModule = "deviceinfo";

// letter 0: an item that is no "L=path" pair; it still takes its position.
struct TestDrive {
    char letter;
    std::string image;
    bool lockRefused;
};

const char kLockedSuffix[] = "|locked";

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
        if (!pair) {
            drives.push_back(TestDrive{0, std::string(), false});
            continue;
        }
        // '|' cannot occur in a Windows path, so the suffix is never part of one.
        std::string image = item.substr(2);
        const size_t suffix = image.size() - (sizeof kLockedSuffix - 1);
        const bool locked = image.size() > sizeof kLockedSuffix - 1 &&
                            image.compare(suffix, std::string::npos, kLockedSuffix) == 0;
        if (locked) {
            image.resize(suffix);
        }
        drives.push_back(TestDrive{letter, image, locked});
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

// The image behind "\\.\PHYSICALDRIVEn"; empty when n names no pair.
std::string imageOfPhysicalDrive(const char* path) {
    int number = -1;
    int used = 0;
    if (std::sscanf(path, "\\\\.\\PHYSICALDRIVE%d%n", &number, &used) != 1 || path[used] != '\0' ||
        number < 0) {
        return std::string();
    }
    const std::vector<TestDrive> drives = testDrives();
    if (static_cast<size_t>(number) >= drives.size() || drives[number].letter == 0) {
        return std::string();
    }
    return drives[number].image;
}

// Open volume handles and the disk number each resolves to. The user
// interface and the update job's worker both name drives.
std::mutex volumesMutex;
std::map<Handle, int32_t> volumes;

Handle openImage(const std::string& image, DWORD access) {
    const HANDLE h = ::CreateFileA(image.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    // CreateFileA fails with INVALID_HANDLE_VALUE, not NULL.
    if (h == INVALID_HANDLE_VALUE) {
        systemerror::logLast(kModule, "CreateFileA", image.c_str());
        return kInvalidHandle;
    }
    return reinterpret_cast<Handle>(h);
}

}  // namespace

Handle openVolume(const char* volumePath, bool writable) {
    if (std::strlen(volumePath) != 6 || std::strncmp(volumePath, "\\\\.\\", 4) != 0 ||
        volumePath[5] != ':') {
        return kInvalidHandle;
    }
    const std::vector<TestDrive> drives = testDrives();
    const int number = driveOfLetter(drives, volumePath[4]);
    if (number < 0) {
        return kInvalidHandle;
    }
    const Handle h =
        openImage(drives[number].image, writable ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ);
    if (h != kInvalidHandle) {
        std::lock_guard<std::mutex> lock(volumesMutex);
        volumes[h] = number;
    }
    return h;
}

bool getDiskExtents(Handle volume, uint32_t& numberOfExtents, int32_t& firstDiskNumber) {
    std::lock_guard<std::mutex> lock(volumesMutex);
    const auto it = volumes.find(volume);
    if (it == volumes.end()) {
        return false;
    }
    numberOfExtents = 1;
    firstDiskNumber = it->second;
    return true;
}

bool getDriveGeometry(Handle handle, DriveGeometry& g) {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &size)) {
        return false;
    }
    g = DriveGeometry();
    g.bytesPerSector = 512;
    g.diskSize = static_cast<uint64_t>(size.QuadPart);
    g.tracksPerCylinder = 255;
    g.sectorsPerTrack = 63;
    g.cylinders = static_cast<int64_t>(g.diskSize / (512ull * 255 * 63));
    g.mediaType = 11;  // RemovableMedia
    g.partitionStyle = 0;
    g.detectionType = 0;
    return true;
}

std::string physicalDrivePath(int number) {
    return "\\\\.\\PHYSICALDRIVE" + std::to_string(number);
}

Handle openPhysicalDrive(const char* path) {
    const std::string image = imageOfPhysicalDrive(path);
    return image.empty() ? kInvalidHandle : openImage(image, GENERIC_READ);
}

FILE* openForCopy(const char* physicalDrivePath) {
    const std::string image = imageOfPhysicalDrive(physicalDrivePath);
    if (image.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    return std::fopen(image.c_str(), "rb+");
}

bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t& bytesRead) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(reinterpret_cast<HANDLE>(handle), buffer, length, &got, nullptr);
    bytesRead = got;
    return ok != 0;
}

// An image file has no file system mounted to lock or take away; only a
// drive marked "|locked" refuses, with the error Windows gives for a volume
// in use.
bool lockVolume(Handle volume) {
    int32_t number = -1;
    {
        std::lock_guard<std::mutex> lock(volumesMutex);
        const auto it = volumes.find(volume);
        if (it != volumes.end()) {
            number = it->second;
        }
    }
    const std::vector<TestDrive> drives = testDrives();
    if (number < 0 || static_cast<size_t>(number) >= drives.size() || drives[number].lockRefused) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        systemerror::logLast(kModule, "FSCTL_LOCK_VOLUME", nullptr);
        return false;
    }
    return true;
}

bool dismountVolume(Handle volume) {
    std::lock_guard<std::mutex> lock(volumesMutex);
    if (volumes.count(volume) == 0) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        systemerror::logLast(kModule, "FSCTL_DISMOUNT_VOLUME", nullptr);
        return false;
    }
    return true;
}

void closeHandle(Handle handle) {
    {
        std::lock_guard<std::mutex> lock(volumesMutex);
        volumes.erase(handle);
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
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
    return driveOfLetter(testDrives(), rootPath[0]) >= 0 ? kDriveRemovable : DRIVE_NO_ROOT_DIR;
}

}  // namespace rawdevice

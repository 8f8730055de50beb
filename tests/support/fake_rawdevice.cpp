#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "storage/rawdevice.h"
#include "tests/support/fake_platform.h"

namespace fakeplatform {
namespace {

// volume: -1 for a disk handle, 0 for the letter's volume, 1 + i for
// Disk::volumes[i].
struct OpenHandle {
    bool isVolume;
    char letter;
    FILE* file;
    int volume = 0;
    bool locked = false;
    int writes = 0;
};

std::map<char, Disk>& disks() {
    static std::map<char, Disk> d;
    return d;
}
std::map<rawdevice::Handle, OpenHandle>& handles() {
    static std::map<rawdevice::Handle, OpenHandle> h;
    return h;
}
rawdevice::Handle nextHandle = 100;
// Counted on the job's worker, read by a test while the job runs.
std::atomic<int> locks{0};
int dismounts = 0;
int refused = 0;
std::map<int, std::string>& renumbered() {
    static std::map<int, std::string> r;
    return r;
}
std::map<std::pair<char, int>, int>& lockAttempts() {
    static std::map<std::pair<char, int>, int> a;
    return a;
}
std::vector<Io>& ioLog() {
    static std::vector<Io> log;
    return log;
}
thread_local rawdevice::Error failure;
void remember(rawdevice::Fault fault, const char* text) {
    failure.fault = fault;
    failure.text = text;
}

// fseek takes a long, which has 32 bits on Windows: offsets past 2 GiB
// need the 64-bit call.
bool seekTo(FILE* file, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// Raw disks move whole sectors at sector offsets through aligned memory.
bool misaligned(const Disk& d, uint64_t offset, const void* buffer, uint32_t length) {
    const uint32_t sector = d.bytesPerSector != 0 ? d.bytesPerSector : 512;
    if (offset % sector == 0 && length % sector == 0 &&
        reinterpret_cast<uintptr_t>(buffer) % sector == 0) {
        return false;
    }
    remember(rawdevice::Fault::Other, "the parameter is incorrect: not whole aligned sectors");
    return true;
}

const Disk* diskByNumber(int number, char* letterOut) {
    for (auto& entry : disks()) {
        if (entry.second.diskNumber == number) {
            *letterOut = entry.first;
            return &entry.second;
        }
    }
    return nullptr;
}

}  // namespace

void addDrive(char letter, const Disk& disk) {
    disks()[letter] = disk;
}

void renumber(char letter, const std::string& backingFile) {
    renumbered()[disks()[letter].diskNumber] = backingFile;
}

void pullCard(char letter) {
    disks()[letter].goneAfterWrites = 0;
}

void replaceCard(char letter, const std::string& backingFile) {
    Disk& d = disks()[letter];
    d.backingFile = backingFile;
    ++d.changeCount;
    for (auto& h : handles()) {
        if (!h.second.isVolume && h.second.letter == letter && h.second.file != nullptr) {
            std::fclose(h.second.file);
            h.second.file = std::fopen(backingFile.c_str(), "rb+");
        }
    }
}

int refusedWrites() {
    return refused;
}

void reset() {
    for (auto& h : handles()) {
        if (h.second.file != nullptr) {
            std::fclose(h.second.file);
        }
    }
    handles().clear();
    disks().clear();
    renumbered().clear();
    lockAttempts().clear();
    ioLog().clear();
    locks = 0;
    dismounts = 0;
    refused = 0;
    volume() = Volume();
    onRead() = nullptr;
}

const std::vector<Io>& diskIo() {
    return ioLog();
}

int lockCalls() {
    return locks;
}
int dismountCalls() {
    return dismounts;
}
int openHandles() {
    return static_cast<int>(handles().size());
}
int heldLocks() {
    int held = 0;
    for (const auto& h : handles()) {
        held += h.second.locked ? 1 : 0;
    }
    return held;
}
std::function<void()>& onRead() {
    static std::function<void()> hook;
    return hook;
}

Volume& volume() {
    static Volume v;
    return v;
}

}  // namespace fakeplatform

namespace rawdevice {

using namespace fakeplatform;

Handle openVolume(const char* volumePath, bool) {
    // "\\.\X:" names drive X; "\\?\Volume{X-n}" volume n of its disk.
    const std::string path(volumePath);
    char letter = 0;
    int volume = 0;
    int used = 0;
    if (path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && path[5] == ':') {
        letter = path[4];
    } else if (std::sscanf(volumePath, "\\\\?\\Volume{%c-%d}%n", &letter, &volume, &used) != 2 ||
               volumePath[used] != '\0') {
        return kInvalidHandle;
    }
    auto it = disks().find(letter);
    if (it == disks().end() || !it->second.volumeOpens ||
        volume > static_cast<int>(it->second.volumes.size())) {
        return kInvalidHandle;
    }
    const Handle h = nextHandle++;
    handles()[h] = OpenHandle{true, letter, nullptr, volume};
    return h;
}

// Asking needs no rights: even a volume that does not open otherwise.
Handle openVolumeToAsk(const char* volumePath) {
    const std::string path(volumePath);
    const auto it = disks().find(path.size() == 6 ? path[4] : '\0');
    if (it == disks().end() || path.compare(0, 4, "\\\\.\\") != 0) {
        return kInvalidHandle;
    }
    const Handle h = nextHandle++;
    handles()[h] = OpenHandle{true, it->first, nullptr, 0};
    return h;
}

bool getDiskExtents(Handle volume, uint32_t& numberOfExtents, int32_t& firstDiskNumber) {
    auto it = handles().find(volume);
    if (it == handles().end() || !it->second.isVolume) {
        return false;
    }
    const Disk& d = disks()[it->second.letter];
    if (d.extentsFail) {
        return false;
    }
    numberOfExtents = d.numberOfExtents;
    firstDiskNumber = d.diskNumber;
    return true;
}

bool getDriveGeometry(Handle handle, DriveGeometry& g) {
    auto it = handles().find(handle);
    if (it == handles().end()) {
        return false;
    }
    const Disk& d = disks()[it->second.letter];
    if (d.geometryFails) {
        return false;
    }
    uint64_t size = d.diskSize;
    if (size == 0 && !d.backingFile.empty()) {
        // ftell is 32-bit on Windows; backing files may be larger.
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(d.backingFile, ec);
        size = ec ? 0 : static_cast<uint64_t>(bytes);
    }
    g = DriveGeometry();
    g.bytesPerSector = d.bytesPerSector;
    g.diskSize = size;
    g.sectorsPerTrack = 63;
    g.tracksPerCylinder = 255;
    g.cylinders = static_cast<int64_t>(size / (512ull * 63 * 255));
    g.mediaType = 11;  // RemovableMedia
    g.partitionStyle = d.partitionStyle;
    g.mbrSignature = 0x12345678u;
    g.detectionType = 0;
    return true;
}

std::string physicalDrivePath(int number) {
    return "\\\\.\\PHYSICALDRIVE" + std::to_string(number);
}

Handle openPhysicalDrive(const char* path) {
    int number = -1;
    if (std::sscanf(path, "\\\\.\\PHYSICALDRIVE%d", &number) != 1) {
        return kInvalidHandle;
    }
    char letter = 0;
    const Disk* d = diskByNumber(number, &letter);
    if (d == nullptr || d->backingFile.empty()) {
        return kInvalidHandle;
    }
    FILE* f = std::fopen(d->backingFile.c_str(), "rb");
    if (f == nullptr) {
        return kInvalidHandle;
    }
    const Handle h = nextHandle++;
    handles()[h] = OpenHandle{false, letter, f};
    return h;
}

Error lastError() {
    return failure;
}

void clearLastError() {
    failure = Error();
}

Handle openDisk(const char* path) {
    int number = -1;
    char letter = 0;
    const Disk* d = nullptr;
    if (std::sscanf(path, "\\\\.\\PHYSICALDRIVE%d", &number) == 1) {
        d = diskByNumber(number, &letter);
    }
    if (d == nullptr || d->backingFile.empty()) {
        remember(Fault::Gone, "no such disk");
        return kInvalidHandle;
    }
    const auto moved = renumbered().find(number);
    FILE* f = std::fopen(
        moved != renumbered().end() ? moved->second.c_str() : d->backingFile.c_str(), "rb+");
    if (f == nullptr) {
        remember(Fault::AccessDenied, "cannot open the backing file");
        return kInvalidHandle;
    }
    const Handle h = nextHandle++;
    handles()[h] = OpenHandle{false, letter, f, -1};
    return h;
}

bool getDeviceNumber(Handle handle, int32_t& number) {
    auto it = handles().find(handle);
    if (it == handles().end()) {
        return false;
    }
    number = disks()[it->second.letter].diskNumber;
    return true;
}

bool readAt(Handle disk, uint64_t offset, void* buffer, uint32_t length) {
    if (onRead()) {
        onRead()();
    }
    auto it = handles().find(disk);
    if (it == handles().end() || it->second.file == nullptr) {
        remember(Fault::Other, "invalid handle");
        return false;
    }
    const Disk& d = disks()[it->second.letter];
    if (misaligned(d, offset, buffer, length)) {
        return false;
    }
    if (d.readFails || (d.goneAfterWrites >= 0 && it->second.writes >= d.goneAfterWrites)) {
        remember(d.readFails ? Fault::Other : Fault::Gone,
                 d.readFails ? "the device does not answer" : "the device is gone");
        return false;
    }
    if (!seekTo(it->second.file, offset) ||
        std::fread(buffer, 1, length, it->second.file) != length) {
        remember(Fault::Other, "read past the end");
        return false;
    }
    if (!it->second.isVolume) {
        ioLog().push_back({false, offset, length});
    }
    return true;
}

// Whether [offset, offset + length) reaches into a volume of the disk that
// has a file system and is not locked by any open handle.
bool intoMountedVolume(char letter, uint64_t offset, uint64_t length) {
    const Disk& d = disks()[letter];
    for (size_t i = 0; i < d.volumes.size(); ++i) {
        const Disk::Volume& v = d.volumes[i];
        if (!v.fileSystem || offset >= v.offset + v.length || v.offset >= offset + length) {
            continue;
        }
        bool locked = false;
        for (const auto& h : handles()) {
            locked = locked || (h.second.isVolume && h.second.letter == letter &&
                                h.second.volume == static_cast<int>(i) + 1 && h.second.locked);
        }
        if (!locked) {
            return true;
        }
    }
    return false;
}

bool writeAt(Handle disk, uint64_t offset, const void* buffer, uint32_t length) {
    auto it = handles().find(disk);
    if (it == handles().end() || it->second.file == nullptr) {
        remember(Fault::Other, "invalid handle");
        return false;
    }
    const Disk& d = disks()[it->second.letter];
    if (misaligned(d, offset, buffer, length)) {
        return false;
    }
    if (d.goneAfterWrites >= 0 && it->second.writes >= d.goneAfterWrites) {
        remember(Fault::Gone, "the device is gone");
        return false;
    }
    if (d.writeProtected || d.writeProtectSilent) {
        remember(Fault::WriteProtected, "the media is write protected");
        return false;
    }
    if (intoMountedVolume(it->second.letter, offset, length)) {
        ++refused;
        remember(Fault::AccessDenied, "access denied: a mounted volume");
        return false;
    }
    ++it->second.writes;
    if (!seekTo(it->second.file, offset) ||
        std::fwrite(buffer, 1, length, it->second.file) != length ||
        std::fflush(it->second.file) != 0) {
        remember(Fault::Other, "the backing file refused the write");
        return false;
    }
    ioLog().push_back({true, offset, length});
    return true;
}

bool flush(Handle disk) {
    auto it = handles().find(disk);
    if (it == handles().end() || disks()[it->second.letter].flushFails) {
        remember(Fault::Other, "the device did not take the data");
        return false;
    }
    return true;
}

// The fake has no file systems of its own to unmount; its volumes are locked.
bool claimDisk(Handle, Error&, bool& unmounted) {
    unmounted = false;
    return true;
}

bool isWritable(Handle disk) {
    auto it = handles().find(disk);
    if (it == handles().end() || disks()[it->second.letter].writeProtected) {
        remember(Fault::WriteProtected, "the media is write protected");
        return false;
    }
    return true;
}

bool mediaChangeCount(Handle disk, uint32_t& count) {
    auto it = handles().find(disk);
    if (it == handles().end()) {
        remember(Fault::Other, "invalid handle");
        return false;
    }
    const Disk& d = disks()[it->second.letter];
    if (d.goneAfterWrites >= 0 && it->second.writes >= d.goneAfterWrites) {
        remember(Fault::Gone, "the device is gone");
        return false;
    }
    count = d.changeCount;
    return true;
}

std::vector<DiskVolume> volumesOnDisk(int32_t number) {
    std::vector<DiskVolume> out;
    char letter = 0;
    const Disk* d = diskByNumber(number, &letter);
    if (d == nullptr) {
        return out;
    }
    for (size_t i = 0; i < d->volumes.size(); ++i) {
        DiskVolume v;
        v.path = "\\\\?\\Volume{" + std::string(1, letter) + "-" + std::to_string(i + 1) + "}";
        v.extents.push_back({d->volumes[i].offset, d->volumes[i].length});
        out.push_back(v);
    }
    return out;
}

bool diskOfPath(const char* path, int32_t& number) {
    const bool system = std::string(path).compare(0, systemFolder().size(), systemFolder()) == 0;
    if (!system && path != programPath()) {
        return false;
    }
    number = 99;  // the machine's own disk, unless a fake disk holds the system or the program
    for (const auto& entry : disks()) {
        if (system ? entry.second.holdsSystem : entry.second.holdsProgram) {
            number = entry.second.diskNumber;
        }
    }
    return true;
}

bool storageDevice(Handle handle, StorageDevice& device) {
    auto it = handles().find(handle);
    if (it == handles().end()) {
        return false;
    }
    device.bus = disks()[it->second.letter].busType;
    device.vendor = "Fake";
    device.product = std::string("Card Reader ") + it->second.letter;
    return true;
}

std::string systemFolder() {
    return "C:\\Windows\\";
}

std::string programPath() {
    return "P:\\tools\\qlupdate.exe";
}

// Every fake drive holds its card; the Wine model has empty slots.
bool hasMedia(const char*) {
    return true;
}

bool readFile(Handle handle, void* buffer, uint32_t length, uint32_t& bytesRead) {
    bytesRead = 0;
    auto it = handles().find(handle);
    if (it == handles().end() || it->second.file == nullptr) {
        return false;
    }
    if (disks()[it->second.letter].readFails) {
        return false;
    }
    bytesRead = static_cast<uint32_t>(std::fread(buffer, 1, length, it->second.file));
    return true;
}

bool lockVolume(Handle volume) {
    ++locks;
    auto it = handles().find(volume);
    if (it == handles().end() || !it->second.isVolume) {
        return false;
    }
    const Disk& d = disks()[it->second.letter];
    bool refusedNow = d.lockRefused;
    if (it->second.volume > 0) {
        const int refusals = d.volumes[it->second.volume - 1].lockRefusals;
        int& tried = lockAttempts()[{it->second.letter, it->second.volume}];
        refusedNow = refusals < 0 || tried++ < refusals;
    }
    if (refusedNow) {
        remember(Fault::AccessDenied, "access denied: files are open on the volume");
        return false;
    }
    it->second.locked = true;
    return true;
}

bool dismountVolume(Handle volume) {
    auto it = handles().find(volume);
    if (it == handles().end() || !it->second.isVolume ||
        disks()[it->second.letter].dismountRefused) {
        remember(Fault::AccessDenied, "the volume cannot be dismounted");
        return false;
    }
    ++dismounts;
    const Disk& d = disks()[it->second.letter];
    if (it->second.volume > 0 && d.volumes[it->second.volume - 1].flushesAt >= 0) {
        if (FILE* f = std::fopen(d.backingFile.c_str(), "rb+")) {
            if (seekTo(f, static_cast<uint64_t>(d.volumes[it->second.volume - 1].flushesAt))) {
                std::fputc(0xA5, f);
            }
            std::fclose(f);
        }
    }
    return true;
}

void closeHandle(Handle handle) {
    auto it = handles().find(handle);
    if (it == handles().end()) {
        return;
    }
    if (it->second.file != nullptr) {
        std::fclose(it->second.file);
    }
    handles().erase(it);
}

uint32_t logicalDrives() {
    uint32_t mask = 0;
    for (auto& entry : disks()) {
        mask |= 1u << (entry.first - 'A');
    }
    return mask;
}

uint32_t driveType(const char* rootPath) {
    auto it = disks().find(rootPath[0]);
    return it == disks().end() ? 1u /* DRIVE_NO_ROOT_DIR */ : it->second.driveType;
}

}  // namespace rawdevice

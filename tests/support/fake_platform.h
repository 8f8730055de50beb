// Controls for the fake raw-storage and volume calls the tests link.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fakeplatform {

struct Disk {
    std::string backingFile;  // read as the physical drive; "" = cannot open
    uint32_t bytesPerSector = 512;
    uint64_t diskSize = 0;        // 0 = size of the backing file
    uint32_t partitionStyle = 0;  // 0 MBR, 1 GPT, 2 RAW, other = unknown
    int32_t diskNumber = 1;
    uint32_t numberOfExtents = 1;
    bool extentsFail = false;
    bool geometryFails = false;
    bool readFails = false;
    uint32_t driveType = 2;     // 2 removable, 3 fixed, 5 optical, 4 remote
    uint32_t busType = 0;       // 7 USB, 12 SD, 13 MMC, 11 SATA, 0 unknown
    bool holdsSystem = false;   // the disk Windows runs from
    bool holdsProgram = false;  // the disk the program runs from
    bool volumeOpens = true;    // false: only with no access rights (no administrator)
    bool lockRefused = false;   // files open on the volume
    bool dismountRefused = false;
    bool writeProtected = false;      // the card's lock switch
    bool writeProtectSilent = false;  // the switch, told only by failing writes
    uint32_t changeCount = 1;         // the reader's count of media changes
    int goneAfterWrites = -1;         // the card is pulled after this many writes
    bool flushFails = false;          // the data never reaches the card
    // Further volumes on the disk, besides the letter's own.
    struct Volume {
        uint64_t offset = 0, length = 0;
        bool fileSystem = true;  // writes into it fail unless it is locked
        int lockRefusals = 0;    // refused this many times; -1: always
        // As a file system flushing its cache: its dismount changes this byte
        // of the disk (counted from the disk's first byte); -1 for none.
        int64_t flushesAt = -1;
    };
    std::vector<Volume> volumes;
};

// Drive letter -> disk. Letters not added do not exist.
void addDrive(char letter, const Disk& disk);
// Another disk takes over the number of the disk behind letter, backed by
// backingFile, as when a reader is replugged: drives opened by number from
// now on reach that file; handles already open keep theirs.
void renumber(char letter, const std::string& backingFile);
// The card behind letter is taken out, or swapped for one backed by
// backingFile, under the handles already open: they meet the empty slot or
// the other card, and the reader counts a media change.
void pullCard(char letter);
void replaceCard(char letter, const std::string& backingFile);
// Writes the fake refused, as Windows does into a mounted file system.
int refusedWrites();
void reset();

// Every read and write through a disk handle that succeeded, in order.
struct Io {
    bool write;
    uint64_t offset;
    uint32_t length;
};
const std::vector<Io>& diskIo();

// Observations: lock requests, dismounts done, handles still open, volume
// locks held now.
int lockCalls();
int dismountCalls();
int openHandles();
int heldLocks();
// Runs at every read of a disk handle, on the thread that reads.
std::function<void()>& onRead();

// Volume answers for the update job.
struct Volume {
    bool absolutePathFails = false;
    bool freeSpaceFails = false;
    uint64_t available = 64ull << 30;
    uint64_t total = 128ull << 30;
    uint64_t totalFree = 64ull << 30;
    uint64_t largestFile = 0;  // 0xffffffff for FAT32
    // The platform's own: MAX_PATH or PATH_MAX, less the terminator.
#ifdef _WIN32
    size_t longestPath = 259;
#else
    size_t longestPath = 4095;
#endif
    // Runs on the job's worker at the free-space query, once the target is
    // read and held and before the header: a fixed point from which a test
    // can pause or stop the job.
    std::function<void()> onFreeSpace;
};
Volume& volume();

}  // namespace fakeplatform

#include "update/applyupdatefile.h"

// SHA256_Init/Update/Final are deprecated in OpenSSL 3 but still provided.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/common.h"
#include "common/fileio.h"
#include "common/systemerror.h"
#include "storage/rawdevice.h"
#include "update/volume.h"

namespace {

const char* const kModule = "applyupdatefile";

std::string hexDigest(const uint8_t* digest) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint32_t i = 0; i < 32; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

// "12.6 MB": sizes in the reasons read the way card sizes are sold.
std::string sizeText(uint64_t bytes) {
    if (bytes < 1000000) {
        return formatText("%I64u bytes", static_cast<unsigned long long>(bytes));
    }
    const double value = static_cast<double>(bytes);
    return value < 1e9 ? formatText("%.1f MB", value / 1e6) : formatText("%.1f GB", value / 1e9);
}

// Taken before the log line, whose write may change errno.
std::string errnoText() {
    return std::strerror(errno);
}

// "<update file>.<12 hex digits>.tmp". A name of each job's own: two jobs on
// one update file never share it, and a crashed run's leftover blocks nothing.
std::string makeTempPath(const std::string& updateFilePath) {
    static std::atomic<uint32_t> counter{0};
    uint64_t x = (uint64_t{fileio::processId()} << 32) ^ counter.fetch_add(1);
    x ^= static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 20;
    x ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    // splitmix64's finaliser spreads every input bit over the output.
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    char unique[16];
    formatString(unique, sizeof unique, "%04x%08x", static_cast<unsigned>(x >> 48) & 0xffffu,
                 static_cast<unsigned>(x & 0xffffffffu));
    return updateFilePath + "." + unique + ".tmp";
}

// The job's temporary file: created new, held open from the unpacking to the
// end of the copy, and closed and removed on every path out of the run.
class TempFile {
public:
    explicit TempFile(const std::string& path) : path(path) {}
    ~TempFile() { discard(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool create() {
        file = fileops::createNew(path.c_str(), kModule);
        return file != nullptr;
    }
    FILE* get() const { return file; }
    void discard() {
        if (file == nullptr) {
            return;  // never created: the name may belong to someone else
        }
        fileops::close(file);  // only read back from here on: nothing to lose
        file = nullptr;
        if (std::remove(path.c_str()) != 0) {
            debugLog("%s : remove %s fail %s\n", kModule, path.c_str(), std::strerror(errno));
        }
    }

private:
    std::string path;
    FILE* file = nullptr;
};

}  // namespace

ApplyUpdateFile::ApplyUpdateFile(const std::string& updateFilePath, const std::string& targetPath,
                                 const std::string& driveName)
    : targetIsDevice(!driveName.empty()),
      targetHash(targetIsDevice),
      payloadHash(false),
      imageDecompress(updateFilePath),
      updateFilePath(updateFilePath),
      targetPath(targetPath),
      driveName(driveName),
      tempFilePath(makeTempPath(updateFilePath)) {
    debugLog("%s : construct update %s target %s drive %s\n", kModule, updateFilePath.c_str(),
             targetPath.c_str(), driveName.c_str());
    debugLog(targetIsDevice ? " target device\n" : " target image\n");
    if (!targetHash.setName(targetIsDevice ? driveName : targetPath)) {
        debugLog("%s : target invalid file %s\n", kModule, driveName.c_str());
        fail(ResultInvalidMedia,
             targetIsDevice ? formatText("the drive %s cannot be read", driveName.c_str())
                            : formatText("%s cannot be read or is empty", targetPath.c_str()));
    }
    debugLog("%s : root offset %I64d \n", kModule,
             static_cast<long long>(targetHash.getRootOffset()));
}

ApplyUpdateFile::~ApplyUpdateFile() {
    requestStop();
    join();
}

void ApplyUpdateFile::requestStop() {
    stopRequested.store(true);
    // The stages look at their own flags once per chunk; without this a stop
    // waits for the whole payload to be hashed and inflated. A job not yet
    // started keeps its stages as they are (create() clears the stop), and
    // one that has ended has none left to ask.
    if (running.load()) {
        payloadHash.requestSuspend();
        imageDecompress.requestSuspend();
    }
}

std::string ApplyUpdateFile::getReason() const {
    std::lock_guard<std::mutex> lock(reasonMutex);
    return reason;
}

void ApplyUpdateFile::fail(int code, const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(reasonMutex);
        reason = why;
    }
    resultCode.store(code);
}

// How the reasons name the target: a user knows a card, or the image they named.
std::string ApplyUpdateFile::targetName() const {
    return targetIsDevice ? std::string("the card") : targetPath;
}

void ApplyUpdateFile::join() {
    if (worker.joinable()) {
        worker.join();
    }
}

void ApplyUpdateFile::create() {
    if (resultCode.load() != ResultNone) {
        debugLog("%s : create() already result fail\n", kModule);
        return;
    }
    progress.store(0);
    succeeded.store(false);
    stopRequested.store(false);
    running.store(true);
    worker = std::thread([this] {
        run();
        running.store(false);
    });
}

// Holds the worker while paused; false when a stop was requested meanwhile.
bool ApplyUpdateFile::waitWhilePaused(int checkpoint) {
    while (paused.load()) {
        if (stopRequested.load()) {
            debugLog("%s : request stop %d\n", kModule, checkpoint);
            return false;
        }
        sleepMs(200);
    }
    return true;
}

// Between two chunks: holds while paused; false when a stop was requested,
// paused or not.
bool ApplyUpdateFile::betweenChunks(int checkpoint) {
    if (!waitWhilePaused(checkpoint)) {
        return false;
    }
    if (stopRequested.load()) {
        debugLog("%s : request stop %d\n", kModule, checkpoint);
        return false;
    }
    return true;
}

void ApplyUpdateFile::run() {
    if (!waitWhilePaused(210)) {
        return;
    }

    char absPath[volume::kPathMax];
    absPath[0] = '\0';
    const bool haveAbsPath = volume::absolutePath(absPath, updateFilePath.c_str());
    debugLog("%s : update file abs path %s\n", kModule, absPath);
    if (!haveAbsPath || absPath[0] == '\0') {
        debugLog("%s : _fullpath fail %s\n", kModule, updateFilePath.c_str());
        fail(ResultTempFileCreate, formatText("the folder of the update file %s cannot be found",
                                              updateFilePath.c_str()));
        return;
    }
    char root[volume::kPathMax];
    volume::rootOf(root, sizeof root, absPath);
    uint64_t available = 0, total = 0, totalFree = 0;
    if (!volume::freeSpace(root, available, total, totalFree)) {
        debugLog("%s : GetDiskFreeSpaceExA fail %s\n", kModule, root);
        fail(ResultTempFileCreate, formatText("the free space on %s cannot be queried", root));
        return;
    }
    debugLog("%s : free area %I64uMiB %I64uMiB %I64uMiB\n", kModule,
             static_cast<unsigned long long>(available >> 20),
             static_cast<unsigned long long>(total >> 20),
             static_cast<unsigned long long>(totalFree >> 20));
    if (available < kRequiredFreeSpace) {
        debugLog("%s : disk empty %I64u to %I64u\n", kModule,
                 static_cast<unsigned long long>(kRequiredFreeSpace),
                 static_cast<unsigned long long>(available));
        fail(ResultNoDiskSpace,
             formatText("%s has %s free; the temporary file needs %s", root,
                        sizeText(available).c_str(), sizeText(kRequiredFreeSpace).c_str()));
        return;
    }

    if (!targetHash.loadMbr()) {
        fail(ResultInvalidMedia,
             targetIsDevice
                 ? std::string("the card's first sector cannot be read")
                 : formatText("the first sector of %s cannot be read", targetPath.c_str()));
        return;
    }
    std::string layoutFault;
    if (targetIsDevice && !deviceLayoutFits(layoutFault)) {
        fail(ResultInvalidMedia, layoutFault);
        return;
    }

    uint64_t startOffset = 0;
    uint64_t size = 0;
    if (!updateFile.loadHeader(updateFilePath, startOffset, size, compressDataHash, auxHash)) {
        debugLog("%s : invalid header fail\n", kModule);
        fail(ResultBrokenUpdateFile, updateFile.getFailure());
        return;
    }

    // The 4 GiB gate assumes a root partition that fits in it; a larger one
    // must not fill the volume with a temporary file that cannot be finished.
    if (size > available) {
        debugLog("%s : disk empty %I64u to %I64u\n", kModule, static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(available));
        fail(ResultNoDiskSpace,
             formatText("the root partition needs %s for the temporary file; "
                        "%s has %s free",
                        sizeText(size).c_str(), root, sizeText(available).c_str()));
        return;
    }

    TempFile temp(tempFilePath);
    if (!temp.create()) {
        const std::string error = errnoText();
        debugLog("%s : temp file create fail %s %s\n", kModule, tempFilePath.c_str(),
                 error.c_str());
        fail(ResultTempFileCreate, formatText("the temporary file %s cannot be created: %s",
                                              tempFilePath.c_str(), error.c_str()));
        return;
    }
    const uint64_t payloadOffset = updateFile.getHeaderSize();
    std::thread decompressThread(std::ref(imageDecompress), temp.get(), payloadOffset, size);

    if (!payloadHash.setName(updateFilePath)) {
        debugLog("%s : hash set file name fail \n", kModule);
        imageDecompress.requestSuspend();
        decompressThread.join();
        fail(ResultBrokenUpdateFile, "the update file cannot be opened to check its payload");
        return;
    }
    std::thread hashThread(std::ref(payloadHash), static_cast<uint64_t>(updateFile.getHeaderSize()),
                           static_cast<uint64_t>(0));
    progress.store(5);

    bool targetOk = true;
    std::string why;
    const uint64_t rootOffset = targetHash.getRootOffset();
    const uint64_t rootSize = rootOffset == startOffset ? targetHash.getRootSize() : 0;
    if (rootOffset != startOffset) {
        debugLog("%s : invalid root offset %I64d %I64d \n", kModule,
                 static_cast<long long>(startOffset), static_cast<long long>(rootOffset));
        why = formatText(
            "the card's root partition starts at byte %I64u, the update file "
            "expects %I64u",
            static_cast<unsigned long long>(rootOffset),
            static_cast<unsigned long long>(startOffset));
        targetOk = false;
    } else if (rootSize != size) {
        debugLog("%s : invalid root size %I64d %I64d \n", kModule, static_cast<long long>(size),
                 static_cast<long long>(rootSize));
        why = formatText(
            "the card's root partition holds %I64u bytes, the update file carries "
            "%I64u",
            static_cast<unsigned long long>(rootSize), static_cast<unsigned long long>(size));
        targetOk = false;
    } else if (!targetHash.isValid()) {
        debugLog("%s : target invalid MBR %s\n", kModule, targetPath.c_str());
        targetOk = false;
    }
    if (!targetOk) {
        // An MBR that fails the layout rule puts the root at 0: say that, not the offsets.
        fail(ResultInvalidMedia, targetHash.isValid()
                                     ? why
                                     : std::string("the card's partition table is not that of a "
                                                   "Quillon card (a boot partition, then the root "
                                                   "partition, within the card)"));
        payloadHash.requestSuspend();
        imageDecompress.requestSuspend();
        hashThread.join();
        decompressThread.join();
        return;
    }

    if (stopRequested.load()) {
        debugLog("%s : request stop %d\n", kModule, 418);
        payloadHash.requestSuspend();
        imageDecompress.requestSuspend();
        hashThread.join();
        decompressThread.join();
        return;
    }

    hashThread.join();
    // A stage that ended because a stop asked it to is a stop, not a failure.
    if (!payloadHash.getResult()) {
        if (payloadHash.wasSuspended()) {
            debugLog("%s : request stop %d\n", kModule, 467);
        } else {
            debugLog("%s : update file hash calc fail\n", kModule);
            fail(ResultBrokenUpdateFile, "the update file could not be read to its end");
        }
        imageDecompress.requestSuspend();
        decompressThread.join();
        return;
    }
    progress.store(10);
    if (std::memcmp(payloadHash.getHashValue(), compressDataHash, sizeof compressDataHash) != 0) {
        debugLog("%s : compress data hash invalid \n", kModule);
        imageDecompress.requestSuspend();
        decompressThread.join();
        fail(ResultBrokenUpdateFile,
             formatText("the update file is damaged: its payload's SHA-256 is %s, the header "
                        "says %s",
                        hexDigest(payloadHash.getHashValue()).c_str(),
                        hexDigest(compressDataHash).c_str()));
        return;
    }

    if (stopRequested.load()) {
        debugLog("%s : request stop %d\n", kModule, 467);
        imageDecompress.requestSuspend();
        decompressThread.join();
        return;
    }

    decompressThread.join();
    if (!imageDecompress.getResult()) {
        if (imageDecompress.wasSuspended()) {
            debugLog("%s : request stop %d\n", kModule, 504);
            return;
        }
        debugLog("%s : decompress fail \n", kModule);
        fail(ResultTempFileCreate,
             formatText("the payload could not be unpacked into %s (damaged data, or the volume "
                        "is full)",
                        tempFilePath.c_str()));
        return;
    }
    // The hash stage read the update file through a handle of its own: what
    // was inflated counts only if it is the very payload that was verified.
    if (std::memcmp(imageDecompress.getInputDigest(), compressDataHash, sizeof compressDataHash) !=
        0) {
        debugLog("%s : update file changed while unpacking \n", kModule);
        fail(ResultBrokenUpdateFile, "the update file changed while it was being read");
        return;
    }

    const int64_t tempSize = fileops::size(temp.get());
    if (tempSize < 0 || static_cast<uint64_t>(tempSize) != size) {
        debugLog("%s : decompress file size invalid %I64d %I64d \n", kModule,
                 static_cast<long long>(tempSize), static_cast<long long>(size));
        fail(ResultTempFileSize,
             formatText("the payload unpacks to %I64d bytes; the header says %I64u",
                        static_cast<long long>(tempSize), static_cast<unsigned long long>(size)));
        return;
    }

    if (stopRequested.load()) {
        debugLog("%s : request stop %d\n", kModule, 504);
        return;
    }

    progress.store(15);
    if (!overwrite(temp.get(), tempFilePath, targetPath, startOffset, size)) {
        if (resultCode.load() == ResultUpToDate) {
            return;  // nothing written; the temporary file goes with temp
        }
        debugLog(targetIsDevice ? "%s : overwrite device %s to %s fail\n"
                                : "%s : overwrite file %s to %s fail\n",
                 kModule, tempFilePath.c_str(), targetPath.c_str());
        return;
    }

    temp.discard();
    if (verify && !verifyTarget(targetPath, startOffset, size)) {
        return;
    }
    debugLog("%s : apply success\n", kModule);
    progress.store(100);
    succeeded.store(true);
}

// A drive is written only inside its medium, and never over its MBR or its
// first partition: the MBR may place the root anywhere, and the copy writes
// wherever the update file's header (which matched it) says.
bool ApplyUpdateFile::deviceLayoutFits(std::string& why) {
    DeviceInfo& device = targetHash.deviceSource();
    if (!device.isValid()) {
        return true;  // not MBR: the root checks below refuse it
    }
    const MbrInfo& mbr = device.getMbr();
    const uint64_t sectorSize = device.getBytesPerSector();
    const uint64_t start = mbr.getStartSector(1);
    const uint64_t end = start + mbr.getSectorCount(1);
    const uint64_t start0 = mbr.getStartSector(0);
    const uint64_t end0 = start0 + mbr.getSectorCount(0);
    if (start == 0 || (start0 < end0 && start < end0 && start0 < end)) {
        debugLog("%s : root partition overlaps sector 0 or partition 0 (%I64u - %I64u)\n", kModule,
                 static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
        why = formatText(
            "the card's root partition (sectors %I64u to %I64u) overlaps its first "
            "sector or its boot partition",
            static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
        return false;
    }
    if (end * sectorSize > device.getDiskSize()) {
        debugLog("%s : root partition ends at %I64u beyond the medium %I64u\n", kModule,
                 static_cast<unsigned long long>(end * sectorSize),
                 static_cast<unsigned long long>(device.getDiskSize()));
        std::string card = sizeText(device.getDiskSize());
        std::string rootEnd = sizeText(end * sectorSize);
        if (card == rootEnd) {  // a few sectors short: only the bytes tell
            card = formatText("%I64u bytes", static_cast<unsigned long long>(device.getDiskSize()));
            rootEnd = formatText("byte %I64u", static_cast<unsigned long long>(end * sectorSize));
        }
        why = formatText("the card is %s, the root partition would end at %s", card.c_str(),
                         rootEnd.c_str());
        return false;
    }
    return true;
}

bool ApplyUpdateFile::overwrite(FILE* source, const std::string& sourcePath,
                                const std::string& target, uint64_t offset, uint64_t size) {
    // A drive is opened through the raw-storage calls, so that a build can
    // point the copy at whatever backs the drive.
    FILE* rawTarget = targetIsDevice ? fileops::adopt(rawdevice::openForCopy(target.c_str()),
                                                      target.c_str(), kModule)
                                     : fileops::open(target.c_str(), "rb+", kModule);
    if (rawTarget == nullptr) {
        const std::string error = errnoText();
        systemerror::logLast(kModule, "open", target.c_str());
        fail(ResultWriteFailed, formatText("%s cannot be opened for writing: %s",
                                           targetName().c_str(), error.c_str()));
        debugLog("%s : can not open image file %s\n", kModule, target.c_str());
        return false;
    }
    FilePtr out(rawTarget);
    // Whatever the names, the copy never writes the temporary file onto
    // itself, and success never removes the target with it.
    if (fileops::sameFile(source, out.get())) {
        fail(ResultTempFileCreate,
             formatText("the temporary file %s is the target itself", sourcePath.c_str()));
        debugLog("%s : temp file is the target %s\n", kModule, target.c_str());
        return false;
    }
    // Both files to where the copy starts: before the comparison and again after it.
    const auto rewind = [&] {
        if (!fileops::seek(out.get(), offset)) {
            fail(ResultWriteFailed,
                 formatText("%s cannot be positioned at byte %I64u", targetName().c_str(),
                            static_cast<unsigned long long>(offset)));
            debugLog("%s : write file fseeko error %I64d\n", kModule,
                     static_cast<long long>(offset));
            return false;
        }
        if (!fileops::seek(source, 0)) {
            fail(ResultTempFileRead, "the temporary file cannot be read from its start");
            debugLog("%s : can not open update file %s\n", kModule, sourcePath.c_str());
            return false;
        }
        return true;
    };
    if (!rewind()) {
        return false;
    }
    ChunkBuffer buffer = allocateChunk(kCopyChunk);
    if (!buffer) {
        fail(ResultTempFileRead, "out of memory for the copy");
        debugLog("%s : copy buffer fail %u\n", kModule, kCopyChunk);
        return false;
    }

    // An update applied twice must not wear the card a second time. A
    // different root usually shows in the first chunk, so this costs one read.
    const int same = holdsTempFile(source, out.get(), buffer.get(), size, target);
    if (same < 0) {
        return false;
    }
    if (same > 0) {
        // Only read from: closing loses nothing and leaves an image's time
        // stamp as it was.
        fileops::close(out.release());
        debugLog("%s : target already holds the update\n", kModule);
        fail(ResultUpToDate, "the card is already up to date; nothing was written");
        return false;
    }
    if (!rewind()) {
        return false;
    }

    const float scale = size != 0 ? 100.0f / static_cast<float>(size) : 0.0f;
    int lastLogged = 0;
    uint64_t remaining = size;
    while (remaining > 0) {
        // A stop ends the copy between chunks, paused or not.
        if (!betweenChunks(157)) {
            return false;
        }
        const uint32_t chunk =
            remaining > kCopyChunk ? kCopyChunk : static_cast<uint32_t>(remaining);
        remaining -= chunk;
        const uint64_t done = size - remaining - chunk;
        if (!readTempChunk(buffer.get(), chunk, source, done)) {
            return false;
        }
        if (fileops::write(buffer.get(), chunk, 1, out.get()) != 1) {
            const std::string error = errnoText();
            systemerror::logLast(kModule, "fwrite", target.c_str());
            debugLog("%s : fwrite (%u) error %s\n", kModule, chunk, error.c_str());
            fail(ResultWriteFailed,
                 formatText("writing %s failed at byte %I64u of the root partition: %s",
                            targetName().c_str(), static_cast<unsigned long long>(done),
                            error.c_str()));
            return false;
        }
        const int percent =
            static_cast<int>(static_cast<double>(size - remaining) * static_cast<double>(scale));
        if (percent != lastLogged) {
            debugLog("%s : overwrite %d %%\n", kModule, percent);
            lastLogged = percent;
        }
        // The owner reads 100 as done, and the formula reaches 100 while up to
        // a chunk is still unwritten: 100 waits for the sync and the close.
        if (remaining > 0) {
            progress.store(kCopyEnd -
                           static_cast<int>((remaining * (kCopyEnd - kCopyStart)) / size));
        }
    }
    // Success means the bytes are on the card, not in a cache: flush, sync
    // and check the close, or report a write failure.
    if (!fileops::sync(out.get())) {
        const std::string error = errnoText();
        systemerror::logLast(kModule, "sync", target.c_str());
        debugLog("%s : sync error %s\n", kModule, error.c_str());
        fail(ResultWriteFailed, formatText("%s did not take the written data (sync failed: %s)",
                                           targetName().c_str(), error.c_str()));
        return false;
    }
    if (fileops::close(out.release()) != 0) {
        const std::string error = errnoText();
        debugLog("%s : fclose error %s\n", kModule, error.c_str());
        fail(ResultWriteFailed, formatText("%s did not take the written data (close failed: %s)",
                                           targetName().c_str(), error.c_str()));
        return false;
    }
    progress.store(kCopyEnd);
    return true;
}

// One chunk of the temporary file, which starts at byte done of the root.
bool ApplyUpdateFile::readTempChunk(uint8_t* buffer, uint32_t chunk, FILE* source, uint64_t done) {
    if (fileops::read(buffer, chunk, 1, source) == 1) {
        return true;
    }
    const std::string error = errnoText();
    debugLog("%s : fread (%u) error %s\n", kModule, chunk, error.c_str());
    fail(ResultTempFileRead, formatText("the temporary file could not be read at byte %I64u: %s",
                                        static_cast<unsigned long long>(done), error.c_str()));
    return false;
}

// 1 when the target's root already equals the temporary file, 0 at the
// first chunk that differs, -1 on a failure (code set). Both streams are left
// wherever the comparison stopped.
int ApplyUpdateFile::holdsTempFile(FILE* source, FILE* target, uint8_t* buffer, uint64_t size,
                                   const std::string& targetFile) {
    ChunkBuffer held = allocateChunk(kCopyChunk);
    if (!held) {
        fail(ResultTempFileRead, "out of memory for the comparison");
        debugLog("%s : compare buffer fail %u\n", kModule, kCopyChunk);
        return -1;
    }
    uint64_t remaining = size;
    while (remaining > 0) {
        // The comparison is the copy's first pass: a pause holds it at the
        // same point, with both files open.
        if (!betweenChunks(157)) {
            return -1;
        }
        const uint32_t chunk =
            remaining > kCopyChunk ? kCopyChunk : static_cast<uint32_t>(remaining);
        remaining -= chunk;
        const uint64_t done = size - remaining - chunk;
        if (fileops::read(held.get(), chunk, 1, target) != 1) {
            const std::string error = errnoText();
            systemerror::logLast(kModule, "fread", targetFile.c_str());
            debugLog("%s : compare read target (%u) error %s\n", kModule, chunk, error.c_str());
            fail(ResultWriteFailed,
                 formatText("%s could not be read at byte %I64u of the root partition: %s",
                            targetName().c_str(), static_cast<unsigned long long>(done),
                            error.c_str()));
            return -1;
        }
        if (!readTempChunk(buffer, chunk, source, done)) {
            return -1;
        }
        if (std::memcmp(held.get(), buffer, chunk) != 0) {
            debugLog("%s : target differs within %I64u\n", kModule,
                     static_cast<unsigned long long>(size - remaining));
            return 0;
        }
    }
    return 1;
}

// A card reader or a fake card may accept a write and keep something else:
// the root is read back, past the system's caches, and its digest compared
// with that of the bytes the unpacking wrote.
bool ApplyUpdateFile::verifyTarget(const std::string& target, uint64_t offset, uint64_t size) {
    FILE* rawTarget = targetIsDevice ? fileops::adopt(rawdevice::openForCopy(target.c_str()),
                                                      target.c_str(), kModule)
                                     : fileops::open(target.c_str(), "rb", kModule);
    if (rawTarget == nullptr) {
        const std::string error = errnoText();
        systemerror::logLast(kModule, "open", target.c_str());
        debugLog("%s : verify can not open %s\n", kModule, target.c_str());
        fail(ResultWriteFailed, formatText("%s cannot be opened to read the update back: %s",
                                           targetName().c_str(), error.c_str()));
        return false;
    }
    FilePtr in(rawTarget);
    fileio::dropCachedData(in.get());
    if (!fileops::seek(in.get(), offset)) {
        debugLog("%s : verify fseeko error %I64d\n", kModule, static_cast<long long>(offset));
        fail(ResultWriteFailed,
             formatText("%s cannot be positioned at byte %I64u", targetName().c_str(),
                        static_cast<unsigned long long>(offset)));
        return false;
    }
    ChunkBuffer buffer = allocateChunk(kCopyChunk);
    if (!buffer) {
        debugLog("%s : verify buffer fail %u\n", kModule, kCopyChunk);
        fail(ResultWriteFailed, "out of memory for reading the update back");
        return false;
    }
    SHA256_CTX sha;
    SHA256_Init(&sha);
    uint64_t remaining = size;
    while (remaining > 0) {
        if (!betweenChunks(160)) {
            return false;
        }
        const uint32_t chunk =
            remaining > kCopyChunk ? kCopyChunk : static_cast<uint32_t>(remaining);
        remaining -= chunk;
        if (fileops::read(buffer.get(), chunk, 1, in.get()) != 1) {
            const std::string error = errnoText();
            systemerror::logLast(kModule, "fread", target.c_str());
            debugLog("%s : verify fread (%u) error %s\n", kModule, chunk, error.c_str());
            fail(ResultWriteFailed,
                 formatText("%s could not be read back at byte %I64u of the root partition: %s",
                            targetName().c_str(),
                            static_cast<unsigned long long>(size - remaining - chunk),
                            error.c_str()));
            return false;
        }
        SHA256_Update(&sha, buffer.get(), chunk);
        progress.store(99 - static_cast<int>((remaining * (99 - kCopyEnd - 1)) / size));
    }
    uint8_t readBack[32];
    SHA256_Final(readBack, &sha);
    // A failed close of a stream only read from loses nothing, but says the
    // target cannot be trusted either.
    if (fileops::close(in.release()) != 0) {
        const std::string error = errnoText();
        debugLog("%s : verify fclose error %s\n", kModule, error.c_str());
        fail(ResultWriteFailed, formatText("%s failed at the end of the read-back: %s",
                                           targetName().c_str(), error.c_str()));
        return false;
    }
    const std::string written = hexDigest(imageDecompress.getOutputDigest());
    const std::string read = hexDigest(readBack);
    if (written != read) {
        debugLog("%s : verify fail written %s read %s\n", kModule, written.c_str(), read.c_str());
        fail(ResultWriteFailed,
             formatText("%s holds something else than was written: SHA-256 written %s, read back "
                        "%s",
                        targetName().c_str(), written.c_str(), read.c_str()));
        return false;
    }
    debugLog("%s : verify written %s read %s equal\n", kModule, written.c_str(), read.c_str());
    return true;
}

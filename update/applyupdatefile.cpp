#include "update/applyupdatefile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/common.h"
#include "storage/rawdevice.h"
#include "update/volume.h"

namespace {

const char* const kModule = "applyupdatefile";

}  // namespace

ApplyUpdateFile::ApplyUpdateFile(const std::string& updateFilePath, const std::string& targetPath,
                                 const std::string& driveName)
    : targetIsDevice(!driveName.empty()),
      targetHash(targetIsDevice),
      payloadHash(false),
      imageDecompress(updateFilePath),
      updateFilePath(updateFilePath),
      targetPath(targetPath),
      driveName(driveName) {
    debugLog("%s : construct update %s target %s drive %s\n", kModule, updateFilePath.c_str(),
             targetPath.c_str(), driveName.c_str());
    debugLog(targetIsDevice ? " target device\n" : " target image\n");
    if (!targetHash.setName(targetIsDevice ? driveName : targetPath)) {
        debugLog("%s : target invalid file %s\n", kModule, driveName.c_str());
        resultCode.store(ResultInvalidMedia);
    }
    debugLog("%s : root offset %I64d \n", kModule,
             static_cast<long long>(targetHash.getRootOffset()));
}

ApplyUpdateFile::~ApplyUpdateFile() {
    stopRequested.store(true);
    join();
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
    worker = std::thread(&ApplyUpdateFile::run, this);
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
        fail(ResultTempFileCreate);
        return;
    }
    char root[volume::kPathMax];
    volume::rootOf(root, sizeof root, absPath);
    uint64_t available = 0, total = 0, totalFree = 0;
    if (!volume::freeSpace(root, available, total, totalFree)) {
        debugLog("%s : GetDiskFreeSpaceExA fail %s\n", kModule, root);
        fail(ResultTempFileCreate);
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
        fail(ResultNoDiskSpace);
        return;
    }

    if (!targetHash.loadMbr()) {
        fail(ResultInvalidMedia);
        return;
    }

    uint64_t startOffset = 0;
    uint64_t size = 0;
    if (!updateFile.loadHeader(updateFilePath, startOffset, size, compressDataHash, auxHash)) {
        debugLog("%s : invalid header fail\n", kModule);
        fail(ResultBrokenUpdateFile);
        return;
    }

    // The 4 GiB gate assumes a root partition that fits in it; a larger one
    // must not fill the volume with a temporary file that cannot be finished.
    if (size > available) {
        debugLog("%s : disk empty %I64u to %I64u\n", kModule, static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(available));
        fail(ResultNoDiskSpace);
        return;
    }

    const std::string tempPath = getTempFilePath();
    const uint64_t payloadOffset = updateFile.getHeaderSize();
    std::thread decompressThread(std::ref(imageDecompress), tempPath, payloadOffset, size);

    if (!payloadHash.setName(updateFilePath)) {
        debugLog("%s : hash set file name fail \n", kModule);
        imageDecompress.requestSuspend();
        decompressThread.join();
        fail(ResultBrokenUpdateFile);
        return;
    }
    std::thread hashThread(std::ref(payloadHash), static_cast<uint64_t>(updateFile.getHeaderSize()),
                           static_cast<uint64_t>(0));
    progress.store(5);

    bool targetOk = true;
    const uint64_t rootOffset = targetHash.getRootOffset();
    const uint64_t rootSize = rootOffset == startOffset ? targetHash.getRootSize() : 0;
    if (rootOffset != startOffset) {
        debugLog("%s : invalid root offset %I64d %I64d \n", kModule,
                 static_cast<long long>(startOffset), static_cast<long long>(rootOffset));
        targetOk = false;
    } else if (rootSize != size) {
        debugLog("%s : invalid root size %I64d %I64d \n", kModule, static_cast<long long>(size),
                 static_cast<long long>(rootSize));
        targetOk = false;
    } else if (!targetHash.isValid()) {
        debugLog("%s : target invalid MBR %s\n", kModule, targetPath.c_str());
        targetOk = false;
    }
    if (!targetOk) {
        resultCode.store(ResultInvalidMedia);
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
    if (!payloadHash.getResult()) {
        debugLog("%s : update file hash calc fail\n", kModule);
        imageDecompress.requestSuspend();
        decompressThread.join();
        fail(ResultBrokenUpdateFile);
        return;
    }
    progress.store(10);
    if (std::memcmp(payloadHash.getHashValue(), compressDataHash, sizeof compressDataHash) != 0) {
        debugLog("%s : compress data hash invalid \n", kModule);
        imageDecompress.requestSuspend();
        decompressThread.join();
        fail(ResultBrokenUpdateFile);
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
        debugLog("%s : decompress fail \n", kModule);
        fail(ResultTempFileCreate);
        return;
    }

    const int64_t tempSize = getFileSize(tempPath.c_str());
    if (tempSize < 0 || static_cast<uint64_t>(tempSize) != size) {
        debugLog("%s : decompress file size invalid %I64d %I64d \n", kModule,
                 static_cast<long long>(tempSize), static_cast<long long>(size));
        resultCode.store(ResultTempFileSize);
        std::remove(tempPath.c_str());
        return;
    }

    if (stopRequested.load()) {
        debugLog("%s : request stop %d\n", kModule, 504);
        std::remove(tempPath.c_str());
        return;
    }

    progress.store(15);
    if (!overwrite(tempPath, targetPath, startOffset, size)) {
        debugLog(targetIsDevice ? "%s : overwrite device %s to %s fail\n"
                                : "%s : overwrite file %s to %s fail\n",
                 kModule, tempPath.c_str(), targetPath.c_str());
        std::remove(tempPath.c_str());
        return;
    }

    std::remove(tempPath.c_str());
    debugLog("%s : apply success\n", kModule);
    progress.store(100);
    succeeded.store(true);
}

bool ApplyUpdateFile::overwrite(const std::string& sourcePath, const std::string& target,
                                uint64_t offset, uint64_t size) {
    // A drive is opened through the raw-storage calls, so that a build can
    // point the copy at whatever backs the drive.
    FILE* rawTarget =
        targetIsDevice ? rawdevice::openForCopy(target.c_str()) : std::fopen(target.c_str(), "rb+");
    if (rawTarget == nullptr) {
        resultCode.store(ResultWriteFailed);
        debugLog("%s : can not open image file %s\n", kModule, target.c_str());
        return false;
    }
    FilePtr out(rawTarget);
    if (!seekFile(out.get(), offset)) {
        resultCode.store(ResultWriteFailed);
        debugLog("%s : write file fseeko error %I64d\n", kModule, static_cast<long long>(offset));
        return false;
    }
    FilePtr in(std::fopen(sourcePath.c_str(), "rb"));
    if (!in) {
        resultCode.store(ResultTempFileRead);
        debugLog("%s : can not open update file %s\n", kModule, sourcePath.c_str());
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kCopyChunk]);
    if (!buffer) {
        resultCode.store(ResultTempFileRead);
        debugLog("%s : copy buffer fail %u\n", kModule, kCopyChunk);
        return false;
    }

    const float scale = size != 0 ? 100.0f / static_cast<float>(size) : 0.0f;
    int lastLogged = 0;
    uint64_t remaining = size;
    while (remaining > 0) {
        if (!waitWhilePaused(157)) {
            return false;
        }
        const uint32_t chunk =
            remaining > kCopyChunk ? kCopyChunk : static_cast<uint32_t>(remaining);
        remaining -= chunk;
        if (std::fread(buffer.get(), chunk, 1, in.get()) != 1) {
            debugLog("%s : fread (%u) error %s\n", kModule, chunk, std::strerror(errno));
            resultCode.store(ResultTempFileRead);
            return false;
        }
        if (std::fwrite(buffer.get(), chunk, 1, out.get()) != 1) {
            debugLog("%s : fwrite (%u) error %s\n", kModule, chunk, std::strerror(errno));
            resultCode.store(ResultWriteFailed);
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
            const uint64_t value = 100 - (remaining * 85) / size;
            progress.store(value < 99 ? static_cast<int>(value) : 99);
        }
    }
    in.reset();
    // Success means the bytes are on the card, not in a cache: flush, sync
    // and check the close, or report a write failure.
    if (!syncFile(out.get())) {
        debugLog("%s : sync error %s\n", kModule, std::strerror(errno));
        resultCode.store(ResultWriteFailed);
        return false;
    }
    if (std::fclose(out.release()) != 0) {
        debugLog("%s : fclose error %s\n", kModule, std::strerror(errno));
        resultCode.store(ResultWriteFailed);
        return false;
    }
    if (size != 0) {
        progress.store(100);
    }
    return true;
}

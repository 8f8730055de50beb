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
#include "storage/target.h"
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

// Taken before the log line, whose write may change errno.
std::string errnoText() {
    return fileio::lastErrorText();
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
// end of the copy, and closed on every path out of the run. The system
// removes it with its last handle, so a killed or crashed run leaves nothing.
}  // namespace

class ApplyUpdateFile::TempFile {
public:
    explicit TempFile(const std::string& path) : path(path) {}
    ~TempFile() { discard(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool create() {
        file = fileops::createNew(path.c_str(), kModule, true);
        return file != nullptr;
    }
    FILE* get() const { return file; }
    void discard() {
        if (file == nullptr) {
            return;  // never created: the name may belong to someone else
        }
        fileops::close(file);  // only read back from here on: nothing to lose
        file = nullptr;
        // Gone already, unless the system could not take the name away.
        if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
            debugLog("%s : remove %s fail %s\n", kModule, path.c_str(), std::strerror(errno));
        }
    }

private:
    std::string path;
    FILE* file = nullptr;
};

ApplyUpdateFile::ApplyUpdateFile(const std::string& updateFilePath, const std::string& targetPath,
                                 const std::string& driveName)
    : ApplyUpdateFile(updateFilePath, makeTarget(targetPath, driveName)) {}

ApplyUpdateFile::ApplyUpdateFile(const std::string& updateFilePath,
                                 std::unique_ptr<Target> heldTarget)
    : target(std::move(heldTarget)),
      payloadHash(false),
      imageDecompress(updateFilePath),
      updateFilePath(updateFilePath),
      tempFilePath(makeTempPath(updateFilePath)) {
    debugLog("%s : construct update %s target %s drive %s\n", kModule, updateFilePath.c_str(),
             target->path().c_str(), target->drive().c_str());
    debugLog(target->isDevice() ? " target device\n" : " target image\n");
    if (!target->isReady()) {
        debugLog("%s : target invalid file %s\n", kModule, target->drive().c_str());
        fail(ResultInvalidMedia, target->notReadyReason());
    }
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

bool ApplyUpdateFile::failed(int code, const std::string& why) {
    fail(code, why);
    return false;
}

void ApplyUpdateFile::fail(int code, const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(reasonMutex);
        reason = why;
    }
    resultCode.store(code);
}

void ApplyUpdateFile::join() {
    if (worker.joinable()) {
        worker.join();
    }
}

// The system may refuse a thread (std::system_error); that ends the job
// with a reason, not the program.
template <typename Payload>
bool ApplyUpdateFile::startThread(std::thread& thread, const char* what, Payload&& payload) {
    try {
        thread = std::thread(std::forward<Payload>(payload));
        return true;
    } catch (const std::exception& e) {
        debugLog("%s : thread for %s not started: %s\n", kModule, what, e.what());
        fail(ResultTempFileCreate,
             formatText("the system gave no thread for %s: %s", what, e.what()));
        return false;
    }
}

void ApplyUpdateFile::create() {
    if (resultCode.load() != ResultNone) {
        debugLog("%s : create() already result fail\n", kModule);
        return;
    }
    progress.store(0);
    written.store(Written::Nothing);
    bytesWritten.store(0);
    bytesKept.store(0);
    succeeded.store(false);
    stopRequested.store(false);
    running.store(true);
    if (!startThread(worker, "the update", [this] {
            run();
            running.store(false);
        })) {
        running.store(false);
    }
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

// The hashing and the unpacking read the payload beside the job's own
// checks. However the run leaves, a stage still running is asked to suspend
// and both threads are joined.
class ApplyUpdateFile::StageThreads {
public:
    StageThreads(PartitionHash& hash, ImageDecompress& unpacking)
        : hash(hash), unpacking(unpacking) {}
    ~StageThreads() { stop(); }
    StageThreads(const StageThreads&) = delete;
    StageThreads& operator=(const StageThreads&) = delete;

    std::thread hashThread;
    std::thread unpackThread;

    void stop() {
        if (hashThread.joinable()) {
            hash.requestSuspend();
        }
        if (unpackThread.joinable()) {
            unpacking.requestSuspend();
        }
        joinHashing();
        joinUnpacking();
    }
    void joinHashing() {
        if (hashThread.joinable()) {
            hashThread.join();
        }
    }
    void joinUnpacking() {
        if (unpackThread.joinable()) {
            unpackThread.join();
        }
    }

private:
    PartitionHash& hash;
    ImageDecompress& unpacking;
};

// Between two chunks: holds while paused; false when a stop was requested,
// paused or not.
bool ApplyUpdateFile::betweenChunks(Checkpoint checkpoint) {
    if (!waitWhilePaused(checkpoint)) {
        return false;
    }
    return !stoppedAt(checkpoint);
}

bool ApplyUpdateFile::stoppedAt(Checkpoint checkpoint) {
    if (!stopRequested.load()) {
        return false;
    }
    debugLog("%s : request stop %d\n", kModule, static_cast<int>(checkpoint));
    return true;
}

void ApplyUpdateFile::run() {
    // Locks and the drive end with the run, whichever way it ends.
    struct Release {
        Target& target;
        ~Release() { target.release(); }
    } release{*target};
    if (!waitWhilePaused(kBeforeStart)) {
        return;
    }
    Plan plan;
    if (!checkVolume(plan) || !checkTarget(plan) || !checkHeader(plan)) {
        return;
    }
    TempFile temp(tempFilePath);
    if (!unpack(plan, temp)) {
        return;
    }
    progress.store(kCopyStart);
    if (!overwrite(temp.get(), plan.startOffset, plan.size)) {
        if (resultCode.load() != ResultUpToDate) {
            debugLog(target->isDevice() ? "%s : overwrite device %s to %s fail\n"
                                        : "%s : overwrite file %s to %s fail\n",
                     kModule, tempFilePath.c_str(), target->path().c_str());
        }
        return;  // nothing written on 8; the temporary file goes with temp
    }
    temp.discard();
    if (verify && !verifyTarget(plan.startOffset, plan.size)) {
        return;
    }
    debugLog("%s : apply success\n", kModule);
    progress.store(100);
    succeeded.store(true);
}

// The update file is a regular file, and its folder can take the temporary
// file: its path is not too long and its volume has room.
bool ApplyUpdateFile::checkVolume(Plan& plan) {
    // Only a regular file can be read twice the same, by the hashing and by
    // the unpacking; a FIFO would also hold them until a writer came.
    const fileio::FileKind kind = fileio::kindOf(updateFilePath.c_str());
    if (kind == fileio::FileKind::Missing) {
        debugLog("%s : update file %s does not exist\n", kModule, updateFilePath.c_str());
        return failed(ResultBrokenUpdateFile,
                      formatText("%s: the update file does not exist", updateFilePath.c_str()));
    }
    if (kind != fileio::FileKind::Regular && kind != fileio::FileKind::Other) {
        debugLog("%s : update file %s is %s\n", kModule, updateFilePath.c_str(),
                 fileio::kindText(kind));
        return failed(ResultBrokenUpdateFile,
                      formatText("%s is %s, not an update file", updateFilePath.c_str(),
                                 fileio::kindText(kind)));
    }

    errno = 0;
    const bool haveAbsPath = volume::absolutePath(plan.absPath, updateFilePath.c_str());
    const bool tooLong = errno == ERANGE || updateFilePath.size() >= volume::longestPath();
    debugLog("%s : update file abs path %s\n", kModule, plan.absPath.c_str());
    if (!haveAbsPath || plan.absPath.empty()) {
        debugLog("%s : _fullpath fail %s\n", kModule, updateFilePath.c_str());
        // Windows' runtime takes no full path past MAX_PATH: the folder is there.
        return failed(
            ResultTempFileCreate,
            tooLong
                ? formatText("the full path of the update file %s is longer than the %u "
                             "characters the system allows; move it to a folder with a "
                             "shorter path",
                             updateFilePath.c_str(), static_cast<unsigned>(volume::longestPath()))
                : formatText("the folder of the update file %s cannot be found",
                             updateFilePath.c_str()));
    }
    // The temporary file's name is the update file's and 17 characters more.
    const size_t tempLength = plan.absPath.size() + (tempFilePath.size() - updateFilePath.size());
    if (tempLength > volume::longestPath()) {
        debugLog("%s : temp path too long %u %u\n", kModule, static_cast<unsigned>(tempLength),
                 static_cast<unsigned>(volume::longestPath()));
        return failed(ResultTempFileCreate,
                      formatText("the temporary file beside %s would have a path of %u "
                                 "characters, more than the %u the system allows; move the "
                                 "update file to a folder with a shorter path",
                                 plan.absPath.c_str(), static_cast<unsigned>(tempLength),
                                 static_cast<unsigned>(volume::longestPath())));
    }
    plan.rootPath = volume::rootOf(plan.absPath);
    const char* const root = plan.rootPath.c_str();
    uint64_t total = 0, totalFree = 0;
    if (!volume::freeSpace(root, plan.available, total, totalFree)) {
        debugLog("%s : GetDiskFreeSpaceExA fail %s\n", kModule, root);
        return failed(ResultTempFileCreate,
                      formatText("the free space on %s cannot be queried", root));
    }
    debugLog("%s : free area %I64uMiB %I64uMiB %I64uMiB\n", kModule,
             static_cast<unsigned long long>(plan.available >> 20),
             static_cast<unsigned long long>(total >> 20),
             static_cast<unsigned long long>(totalFree >> 20));
    if (plan.available < kRequiredFreeSpace) {
        debugLog("%s : disk empty %I64u to %I64u\n", kModule,
                 static_cast<unsigned long long>(kRequiredFreeSpace),
                 static_cast<unsigned long long>(plan.available));
        return failed(ResultNoDiskSpace, formatText("%s has %s free; the temporary file needs %s",
                                                    root, sizeText(plan.available).c_str(),
                                                    sizeText(kRequiredFreeSpace).c_str()));
    }
    return true;
}

// The target's partition table is read, and the update file is not on it.
bool ApplyUpdateFile::checkTarget(const Plan& plan) {
    TargetFailure layout;
    if (!target->loadLayout(layout)) {
        return failed(layout.code, layout.why);
    }
    debugLog("%s : root offset %I64d \n", kModule, static_cast<long long>(target->getRootOffset()));
    // Locking the card would take the update file away, and the temporary
    // file would land on the card.
    if (target->holdsFile(plan.absPath.c_str())) {
        debugLog("%s : update file %s is on the target %s\n", kModule, plan.absPath.c_str(),
                 target->path().c_str());
        return failed(ResultUpdateFileOnCard,
                      formatText("the update file %s is on the card itself; copy it to a folder "
                                 "of the computer first",
                                 plan.absPath.c_str()));
    }
    return true;
}

// The header is sound, and the root it carries fits beside the update file.
bool ApplyUpdateFile::checkHeader(Plan& plan) {
    if (!updateFile.loadHeader(updateFilePath, plan.startOffset, plan.size, compressDataHash,
                               auxHash)) {
        debugLog("%s : invalid header fail\n", kModule);
        return failed(ResultBrokenUpdateFile, updateFile.getFailure());
    }
    const char* const root = plan.rootPath.c_str();
    // The 4 GiB gate assumes a root partition that fits in it; a larger one
    // must not fill the volume with a temporary file that cannot be finished.
    if (plan.size > plan.available) {
        debugLog("%s : disk empty %I64u to %I64u\n", kModule,
                 static_cast<unsigned long long>(plan.size),
                 static_cast<unsigned long long>(plan.available));
        return failed(
            ResultNoDiskSpace,
            formatText("the root partition needs %s for the temporary file; %s has %s "
                       "free",
                       sizeText(plan.size).c_str(), root, sizeText(plan.available).c_str()));
    }
    const uint64_t largest = volume::largestFile(root);
    if (largest != 0 && plan.size > largest) {
        debugLog("%s : temp file %I64u over the largest file %I64u of %s\n", kModule,
                 static_cast<unsigned long long>(plan.size),
                 static_cast<unsigned long long>(largest), root);
        return failed(ResultTempFileCreate,
                      formatText("%s is on a FAT file system, which holds no file of %s; the "
                                 "temporary file needs %s: copy the update file to an NTFS "
                                 "drive, the desktop for example",
                                 root, sizeText(largest + 1).c_str(), sizeText(plan.size).c_str()));
    }
    return true;
}

// The card's root partition is where the update file says and as large.
bool ApplyUpdateFile::rootMatches(const Plan& plan) {
    std::string why;
    const uint64_t rootOffset = target->getRootOffset();
    const uint64_t rootSize = rootOffset == plan.startOffset ? target->getRootSize() : 0;
    if (rootOffset != plan.startOffset) {
        debugLog("%s : invalid root offset %I64d %I64d \n", kModule,
                 static_cast<long long>(plan.startOffset), static_cast<long long>(rootOffset));
        why = formatText(
            "the card's root partition starts at byte %I64u, the update file "
            "expects %I64u",
            static_cast<unsigned long long>(rootOffset),
            static_cast<unsigned long long>(plan.startOffset));
    } else if (rootSize != plan.size) {
        debugLog("%s : invalid root size %I64d %I64d \n", kModule,
                 static_cast<long long>(plan.size), static_cast<long long>(rootSize));
        why = formatText(
            "the card's root partition holds %I64u bytes, the update file carries "
            "%I64u",
            static_cast<unsigned long long>(rootSize), static_cast<unsigned long long>(plan.size));
    } else if (!target->isValid()) {
        debugLog("%s : target invalid MBR %s\n", kModule, target->path().c_str());
    } else {
        return true;
    }
    // An MBR that fails the layout rule puts the root at 0: say that, not the offsets.
    return failed(ResultInvalidMedia,
                  target->isValid() ? why
                                    : std::string("the card's partition table is not that of a "
                                                  "Quillon card (a boot partition, then the root "
                                                  "partition, within the card)"));
}

// Inflates the payload into the temporary file while another thread checks
// its digest; true once the temporary file holds the verified root.
bool ApplyUpdateFile::unpack(const Plan& plan, TempFile& temp) {
    if (!temp.create()) {
        const std::string error = errnoText();
        debugLog("%s : temp file create fail %s %s\n", kModule, tempFilePath.c_str(),
                 error.c_str());
        return failed(ResultTempFileCreate,
                      formatText("the temporary file %s cannot be created: %s",
                                 tempFilePath.c_str(), error.c_str()));
    }
    StageThreads stages(payloadHash, imageDecompress);
    const uint64_t headerSize = updateFile.getHeaderSize();
    const uint64_t size = plan.size;
    FILE* const tempStream = temp.get();
    if (!startThread(stages.unpackThread, "the unpacking", [this, tempStream, headerSize, size] {
            imageDecompress(tempStream, headerSize, size);
        })) {
        return false;
    }
    if (!payloadHash.setName(updateFilePath)) {
        const std::string error = errnoText();
        debugLog("%s : hash set file name fail \n", kModule);
        return failed(ResultBrokenUpdateFile,
                      updateFileReason("cannot be opened to check its payload: " + error));
    }
    if (!startThread(stages.hashThread, "the check of the payload",
                     [this, headerSize] { payloadHash(headerSize, 0); })) {
        return false;
    }
    progress.store(5);
    if (!rootMatches(plan) || stoppedAt(kAfterChecks) || !payloadVerified(stages) ||
        stoppedAt(kAfterPayloadCheck)) {
        return false;
    }
    stages.joinUnpacking();
    if (!imageDecompress.getResult()) {
        if (imageDecompress.wasSuspended()) {
            debugLog("%s : request stop %d\n", kModule, static_cast<int>(kAfterUnpacking));
            return false;
        }
        failUnpacking(plan.rootPath, size);
        return false;
    }
    // The hash stage read the update file through a handle of its own: what
    // was inflated counts only if it is the very payload that was verified.
    if (std::memcmp(imageDecompress.getInputDigest(), compressDataHash, sizeof compressDataHash) !=
        0) {
        debugLog("%s : update file changed while unpacking \n", kModule);
        return failed(ResultBrokenUpdateFile, "the update file changed while it was being read");
    }
    const int64_t tempSize = fileops::size(temp.get());
    if (tempSize < 0 || static_cast<uint64_t>(tempSize) != size) {
        debugLog("%s : decompress file size invalid %I64d %I64d \n", kModule,
                 static_cast<long long>(tempSize), static_cast<long long>(size));
        return failed(
            ResultTempFileSize,
            formatText("the payload unpacks to %I64d bytes; the header says %I64u",
                       static_cast<long long>(tempSize), static_cast<unsigned long long>(size)));
    }
    return !stoppedAt(kAfterUnpacking);
}

// The payload's digest, taken by the hashing thread, is the header's.
bool ApplyUpdateFile::payloadVerified(StageThreads& stages) {
    stages.joinHashing();
    // A stage that ended because a stop asked it to is a stop, not a failure.
    if (!payloadHash.getResult()) {
        if (payloadHash.wasSuspended()) {
            debugLog("%s : request stop %d\n", kModule, static_cast<int>(kAfterPayloadCheck));
            return false;
        }
        debugLog("%s : update file hash calc fail\n", kModule);
        // Cut while it was hashed, or gone or replaced before it was opened.
        return failed(
            ResultBrokenUpdateFile,
            payloadHash.fileShrank()
                ? "the update file changed while it was being read: it " + payloadHash.getFailure()
                : updateFileReason(payloadHash.getFailure()));
    }
    progress.store(10);
    if (std::memcmp(payloadHash.getHashValue(), compressDataHash, sizeof compressDataHash) != 0) {
        debugLog("%s : compress data hash invalid \n", kModule);
        return failed(ResultBrokenUpdateFile,
                      formatText("the update file is damaged: its payload's SHA-256 is %s, the "
                                 "header says %s",
                                 hexDigest(payloadHash.getHashValue()).c_str(),
                                 hexDigest(compressDataHash).c_str()));
    }
    return true;
}

// "the update file <what>", unless a stage met a file that is no longer the
// regular file the job checked.
std::string ApplyUpdateFile::updateFileReason(const std::string& what) const {
    const fileio::FileKind kind = fileio::kindOf(updateFilePath.c_str());
    if (kind == fileio::FileKind::Regular || kind == fileio::FileKind::Other) {
        return "the update file " + what;
    }
    return std::string("the update file changed while it was being read: ") +
           (kind == fileio::FileKind::Missing ? std::string("it no longer exists")
                                              : std::string("it is now ") + fileio::kindText(kind));
}

// A stream that zlib refuses, that ends early or inflates too far is
// damaged only when it is the very payload whose digest was verified; any
// other bytes mean that the file changed while it was unpacked.
void ApplyUpdateFile::failUnpacking(const std::string& root, uint64_t size) {
    const InflateFailure failure = imageDecompress.getFailure();
    const std::string& text = imageDecompress.getFailureText();
    if (failure == InflateFailure::DataError || failure == InflateFailure::PastLimit ||
        failure == InflateFailure::EndedEarly) {
        if (std::memcmp(imageDecompress.getInputDigest(), compressDataHash,
                        sizeof compressDataHash) != 0) {
            debugLog("%s : update file changed while unpacking \n", kModule);
            fail(ResultBrokenUpdateFile, "the update file changed while it was being read");
            return;
        }
        debugLog("%s : decompress fail \n", kModule);
        fail(ResultBrokenUpdateFile,
             "the update file's payload is damaged: " +
                 (failure == InflateFailure::DataError ? text
                  : failure == InflateFailure::PastLimit
                      ? formatText("it inflates past the %I64u bytes its header gives",
                                   static_cast<unsigned long long>(size))
                      : std::string("it ends before its zlib stream does")));
        return;
    }
    debugLog("%s : decompress fail \n", kModule);
    if (failure == InflateFailure::ReadFailed) {
        fail(ResultBrokenUpdateFile, updateFileReason(text));
    } else if (failure == InflateFailure::WriteFailed) {
        fail(ResultTempFileCreate,
             imageDecompress.getFailureError() == ENOSPC
                 ? formatText("unpacking into %s failed: the volume of %s is full: %s",
                              tempFilePath.c_str(), root.c_str(), text.c_str())
                 : formatText("unpacking into %s failed: %s", tempFilePath.c_str(), text.c_str()));
    } else {
        fail(ResultTempFileCreate, formatText("the payload could not be unpacked into %s: %s",
                                              tempFilePath.c_str(), text.c_str()));
    }
}

// What a failed target read or write means to the user. A card pulled out
// shows as a device that is gone, and only another full run mends it.
std::string ApplyUpdateFile::ioReason(const char* what, bool wroteAny, uint64_t done,
                                      const rawdevice::Error& error) const {
    if (target->isDevice() && error.fault == rawdevice::Fault::Gone) {
        return formatText(wroteAny ? "the card was removed during the update, at byte %I64u of "
                                     "the root partition; its root partition is incomplete: put "
                                     "it back and update again"
                                   : "the card was removed at byte %I64u of the root partition, "
                                     "before anything was written; put it back and update again",
                          static_cast<unsigned long long>(done));
    }
    return formatText("%s %s failed at byte %I64u of the root partition: %s", what,
                      target->displayName().c_str(), static_cast<unsigned long long>(done),
                      error.text.c_str());
}

// Walks bytes from to size in chunks of length bytes, calling step(done, chunk) for
// each, with a stop seen between two chunks, paused or not.
template <typename Step>
bool ApplyUpdateFile::eachChunk(uint64_t from, uint64_t size, uint32_t length,
                                Checkpoint checkpoint, Step step) {
    for (uint64_t done = from; done < size;) {
        if (!betweenChunks(checkpoint)) {
            return false;
        }
        const uint32_t chunk = size - done > length ? length : static_cast<uint32_t>(size - done);
        if (!step(done, chunk)) {
            return false;
        }
        done += chunk;
    }
    return true;
}

bool ApplyUpdateFile::rewind(FILE* source) {
    return seekTemp(source, 0);
}

bool ApplyUpdateFile::seekTemp(FILE* source, uint64_t offset) {
    if (fileops::seek(source, offset)) {
        return true;
    }
    const std::string error = errnoText();
    debugLog("%s : can not open update file %s\n", kModule, tempFilePath.c_str());
    return failed(ResultTempFileRead,
                  (offset == 0 ? std::string("the temporary file cannot be read from its start: ")
                               : formatText("the temporary file cannot be read from byte %I64u: ",
                                            static_cast<unsigned long long>(offset))) +
                      error);
}

// Writes the pieces of the root that differ from the temporary file. A first
// pass finds the first such piece; only then is the card taken for writing.
// The copy goes on from there, unless taking it dismounted a file system
// over the root, which may have flushed onto the pieces judged equal: then
// every piece is judged again from the start.
bool ApplyUpdateFile::overwrite(FILE* source, uint64_t offset, uint64_t size) {
    TargetFailure failure;
    if (!target->openForCopy(source, failure)) {
        return failed(failure.code, failure.why);
    }
    if (!rewind(source)) {
        return false;
    }
    ChunkBuffer buffer = allocateChunk(kCopyChunk);
    if (!buffer) {
        debugLog("%s : copy buffer fail %u\n", kModule, kCopyChunk);
        return failed(ResultTempFileRead, "out of memory for the copy");
    }
    uint8_t* const data = buffer.get();
    uint8_t* const held = buffer.get() + kPiece;

    // An update applied twice must not wear the card a second time.
    bool differs = false;
    uint64_t firstDiffering = 0;
    const bool compared = eachChunk(0, size, kPiece, kInCopy, [&](uint64_t done, uint32_t piece) {
        const int same = holdsPiece(source, data, held, offset, done, piece);
        if (same == 0) {
            debugLog("%s : target differs within %I64u\n", kModule,
                     static_cast<unsigned long long>(done + piece));
            differs = true;
            firstDiffering = done;
        }
        return same == 1;
    });
    if (!differs) {
        if (!compared) {
            return false;
        }
        target->finishCopy(false, failure);
        debugLog("%s : target already holds the update\n", kModule);
        return failed(ResultUpToDate, "the card is already up to date; nothing was written");
    }
    if (!target->prepareWrite(failure)) {
        return failed(failure.code, failure.why);
    }
    // Unless a file system was taken off the root, the pieces found equal
    // are still equal: the copy goes on at the first that differs.
    const uint64_t from = target->tookFromOthers() ? 0 : firstDiffering;
    if (!(from == 0 ? rewind(source) : seekTemp(source, from))) {
        return false;
    }
    bytesKept.store(from);

    const float scale = size != 0 ? 100.0f / static_cast<float>(size) : 0.0f;
    int lastLogged = 0;
    const bool copied = eachChunk(from, size, kPiece, kInCopy, [&](uint64_t done, uint32_t piece) {
        const int same = holdsPiece(source, data, held, offset, done, piece);
        if (same < 0) {
            return false;
        }
        if (same == 1) {
            bytesKept.fetch_add(piece);
        } else {
            rawdevice::Error error;
            // Before the call: a failed write may still have changed sectors.
            written.store(Written::Partly);
            if (!target->write(offset + done, data, piece, error)) {
                debugLog("%s : fwrite (%u) error %s\n", kModule, piece, error.text.c_str());
                return failed(ResultWriteFailed, ioReason("writing", true, done, error));
            }
            bytesWritten.fetch_add(piece);
        }
        const uint64_t remaining = size - done - piece;
        const int percent =
            static_cast<int>(static_cast<double>(size - remaining) * static_cast<double>(scale));
        if (percent != lastLogged) {
            debugLog("%s : overwrite %d %%\n", kModule, percent);
            lastLogged = percent;
        }
        // The owner reads 100 as done, and the formula reaches 100 while up to
        // a piece is still unwritten: 100 waits for the sync and the close.
        if (remaining > 0) {
            progress.store(kCopyEnd -
                           static_cast<int>((remaining * (kCopyEnd - kCopyStart)) / size));
        }
        return true;
    });
    if (!copied) {
        return false;
    }
    debugLog("%s : wrote %I64u bytes, %I64u already on the target\n", kModule,
             static_cast<unsigned long long>(bytesWritten.load()),
             static_cast<unsigned long long>(bytesKept.load()));
    if (!target->finishCopy(true, failure)) {
        return failed(failure.code, failure.why);
    }
    written.store(Written::All);
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
    return failed(ResultTempFileRead,
                  formatText("the temporary file could not be read at byte %I64u: %s",
                             static_cast<unsigned long long>(done), error.c_str()));
}

// Reads the next piece of the temporary file into data and tells whether the
// card's root already holds it there: 1 when it does, 0 when not, -1 on a
// failure (code set). A piece that differs usually differs at its start, so
// its head is read first and the rest only when the head is equal.
int ApplyUpdateFile::holdsPiece(FILE* source, uint8_t* data, uint8_t* held, uint64_t offset,
                                uint64_t done, uint32_t piece) {
    if (!readTempChunk(data, piece, source, done)) {
        return -1;
    }
    const uint32_t head = piece > kPieceHead ? kPieceHead : piece;
    for (uint32_t at = 0, length = head; at < piece; at += length, length = piece - at) {
        rawdevice::Error error;
        if (!target->read(offset + done + at, held + at, length, error)) {
            debugLog("%s : compare read target (%u) error %s\n", kModule, length,
                     error.text.c_str());
            fail(ResultWriteFailed,
                 ioReason("reading", written.load() != Written::Nothing, done + at, error));
            return -1;
        }
        if (std::memcmp(held + at, data + at, length) != 0) {
            return 0;
        }
    }
    return 1;
}

// A card reader or a fake card may accept a write and keep something else:
// the root is read back, past the system's caches, and its digest compared
// with that of the bytes the unpacking wrote.
bool ApplyUpdateFile::verifyTarget(uint64_t offset, uint64_t size) {
    TargetFailure failure;
    if (!target->openForReadBack(failure)) {
        fail(failure.code, failure.why);
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
    const bool readBackWhole =
        eachChunk(0, size, kCopyChunk, kInReadBack, [&](uint64_t done, uint32_t chunk) {
            rawdevice::Error error;
            if (!target->read(offset + done, buffer.get(), chunk, error)) {
                debugLog("%s : verify fread (%u) error %s\n", kModule, chunk, error.text.c_str());
                return failed(ResultWriteFailed, ioReason("reading back", true, done, error));
            }
            SHA256_Update(&sha, buffer.get(), chunk);
            const uint64_t remaining = size - done - chunk;
            progress.store(99 - static_cast<int>((remaining * (99 - kCopyEnd - 1)) / size));
            return true;
        });
    if (!readBackWhole) {
        return false;
    }
    uint8_t readBack[32];
    SHA256_Final(readBack, &sha);
    if (!target->finishReadBack(failure)) {
        fail(failure.code, failure.why);
        return false;
    }
    const std::string written = hexDigest(imageDecompress.getOutputDigest());
    const std::string read = hexDigest(readBack);
    if (written != read) {
        debugLog("%s : verify fail written %s read %s\n", kModule, written.c_str(), read.c_str());
        fail(ResultWriteFailed,
             formatText("%s holds something else than was written: SHA-256 written %s, read back "
                        "%s",
                        target->displayName().c_str(), written.c_str(), read.c_str()));
        return false;
    }
    debugLog("%s : verify written %s read %s equal\n", kModule, written.c_str(), read.c_str());
    return true;
}

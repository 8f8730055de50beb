#include "update/applyupdatefile.h"

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
      tempFilePath(makeTempPath(updateFilePath)),
      rootCopy(*target, progress, [this](int checkpoint) { return betweenChunks(checkpoint); }) {
    debugLog("%s : construct update %s target %s drive %s\n", kModule, updateFilePath.c_str(),
             target->path().c_str(), target->drive().c_str());
    debugLog(target->isDevice() ? " target device\n" : " target image\n");
    target->watchStop([this] { return stoppedAt(kTakingTheCard); });
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
        fail(ResultNoResources, formatText("the system gave no thread for %s: %s", what, e.what()));
        return false;
    }
}

void ApplyUpdateFile::create() {
    if (resultCode.load() != ResultNone) {
        debugLog("%s : create() already result fail\n", kModule);
        return;
    }
    progress.store(0);
    rootCopy.reset();
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
// checks, and the copy judges what is unpacked. However the run leaves, a
// stage still running is asked to suspend, the unpacking no longer waits for
// the judging, and both threads are joined.
class ApplyUpdateFile::StageThreads {
public:
    StageThreads(PartitionHash& hash, ImageDecompress& unpacking, RootCopy& copy)
        : hash(hash), unpacking(unpacking), copy(copy) {}
    ~StageThreads() { stop(); }
    StageThreads(const StageThreads&) = delete;
    StageThreads& operator=(const StageThreads&) = delete;

    std::thread hashThread;
    std::thread unpackThread;
    // Set by the hashing thread as it ends, so that its digest can be
    // checked while the unpacking still runs.
    std::atomic<bool> hashEnded{false};
    bool payloadChecked = false;

    void stop() {
        if (hashThread.joinable()) {
            hash.requestSuspend();
        }
        if (unpackThread.joinable()) {
            unpacking.requestSuspend();
            copy.cancel();
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
    RootCopy& copy;
};

// Between two chunks: holds while paused; false when a stop was requested,
// paused or not.
bool ApplyUpdateFile::betweenChunks(int checkpoint) {
    if (!waitWhilePaused(checkpoint)) {
        return false;
    }
    return !stoppedAt(checkpoint);
}

bool ApplyUpdateFile::stoppedAt(int checkpoint) {
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
    // The card first: an update file on it would be told to make room there.
    if (!checkVolume(plan) || !checkTarget(plan) || !checkFreeSpace(plan) || !checkHeader(plan)) {
        return;
    }
    TempFile temp(tempFilePath);
    if (!unpack(plan, temp)) {
        return;
    }
    progress.store(kCopyStart);
    if (!rootCopy.overwrite(temp.get(), tempFilePath)) {
        const TargetFailure& failure = rootCopy.failure();
        if (failure.code != 0) {
            fail(failure.code, failure.why);
        }
        if (failure.code != ResultUpToDate) {
            debugLog(target->isDevice() ? "%s : overwrite device %s to %s fail\n"
                                        : "%s : overwrite file %s to %s fail\n",
                     kModule, tempFilePath.c_str(), target->path().c_str());
        }
        return;  // nothing written on 8; the temporary file goes with temp
    }
    temp.discard();
    if (verify && !rootCopy.readBack()) {
        if (rootCopy.failure().code != 0) {
            fail(rootCopy.failure().code, rootCopy.failure().why);
        }
        return;
    }
    debugLog("%s : apply success\n", kModule);
    progress.store(100);
    succeeded.store(true);
}

// The update file is a regular file, and its folder can take the temporary
// file's name.
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
    return true;
}

// The update file's volume has room for the temporary file.
bool ApplyUpdateFile::checkFreeSpace(Plan& plan) {
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
        return failed(ResultNoDiskSpace,
                      formatText("%s has %s free; the temporary file needs 4 GiB (%I64u bytes)",
                                 root, sizeText(plan.available).c_str(),
                                 static_cast<unsigned long long>(kRequiredFreeSpace)));
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
    FilePtr header(fileops::open(updateFilePath.c_str(), "rb", "updatefile"));
    if (!header) {
        const int code = errno;
        const std::string error = errnoText();
        debugLog("%s : update file open fail %s\n", kModule, error.c_str());
        return failed(resultForError(ResultBrokenUpdateFile, code),
                      updateFileReason("cannot be opened: " + error));
    }
    plan.identified = fileio::identity(header.get(), plan.fileVolume, plan.fileIndex);
    if (!updateFile.loadHeader(header.get(), updateFilePath, plan.startOffset, plan.size,
                               compressDataHash, auxHash)) {
        debugLog("%s : invalid header fail\n", kModule);
        return failed(resultForError(ResultBrokenUpdateFile, updateFile.getFailureError()),
                      updateFile.getFailure());
    }
    // A size no card has is a damaged file, not a lack of room for it.
    std::string damage;
    if (!UpdateFile::checkRoot(plan.startOffset, plan.size, damage)) {
        debugLog("%s : invalid root in header %I64u %I64u\n", kModule,
                 static_cast<unsigned long long>(plan.startOffset),
                 static_cast<unsigned long long>(plan.size));
        return failed(ResultBrokenUpdateFile, damage);
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
    if (target->isValid()) {
        return failed(ResultInvalidMedia, why);
    }
    const std::string problem = target->layoutProblem();
    return failed(ResultInvalidMedia,
                  "the card's partition table is not that of a Quillon card (a boot partition, "
                  "then the root partition, within the card)" +
                      (problem.empty() ? std::string() : ": " + problem));
}

// Inflates the payload into the temporary file while another thread checks
// its digest; true once the temporary file holds the verified root.
bool ApplyUpdateFile::unpack(const Plan& plan, TempFile& temp) {
    if (!temp.create()) {
        const int code = errno;
        const std::string error = errnoText();
        debugLog("%s : temp file create fail %s %s\n", kModule, tempFilePath.c_str(),
                 error.c_str());
        // A folder the user cannot write to (a download share, a CD, a
        // protected folder) keeps the update file; its copy elsewhere works.
        const bool readOnly = code == EROFS || code == EACCES || code == EPERM;
        return failed(resultForError(ResultTempFileCreate, code),
                      formatText("the temporary file %s cannot be created: %s%s",
                                 tempFilePath.c_str(), error.c_str(),
                                 readOnly ? "; copy the update file to a folder you can write to "
                                            "on a drive with 4 GiB free, and update from there"
                                          : ""));
    }
    // Each stage reads through a stream of its own, of the file whose header
    // was read, and closes it when it ends.
    FilePtr hashInput = reopenUpdateFile(plan, "hash");
    FilePtr unpackInput = hashInput ? reopenUpdateFile(plan, "compress") : nullptr;
    if (!unpackInput) {
        return false;
    }
    if (!rootCopy.begin(plan.startOffset, plan.size, verify)) {
        return failed(rootCopy.failure().code, rootCopy.failure().why);
    }
    StageThreads stages(payloadHash, imageDecompress, rootCopy);
    const uint64_t headerSize = updateFile.getHeaderSize();
    const uint64_t size = plan.size;
    FILE* const tempStream = temp.get();
    if (!startThread(stages.unpackThread, "the unpacking",
                     [this, in = std::move(unpackInput), tempStream, headerSize, size]() mutable {
                         imageDecompress(std::move(in), tempStream, headerSize, size, &rootCopy);
                         rootCopy.endOfOutput();
                     })) {
        return false;
    }
    if (!startThread(stages.hashThread, "the check of the payload",
                     [this, &stages, in = std::move(hashInput), headerSize]() mutable {
                         payloadHash.hashOpenFile(in.get(), headerSize);
                         in.reset();
                         stages.hashEnded.store(true);
                         rootCopy.nudge();
                     })) {
        return false;
    }
    progress.store(5);
    if (!rootMatches(plan) || stoppedAt(kAfterChecks)) {
        return false;
    }
    // The card is read while the payload is unpacked: each piece as it
    // comes, and the payload's digest checked as soon as it is known.
    const bool judged = rootCopy.judge([this, &stages] {
        if (stages.hashEnded.load() && !stages.payloadChecked) {
            stages.payloadChecked = true;
            if (!payloadVerified(stages)) {
                return false;
            }
        }
        return !stoppedAt(RootCopy::kInComparison);
    });
    if (!judged) {
        if (rootCopy.failure().code != 0) {
            fail(rootCopy.failure().code, rootCopy.failure().why);
        }
        return false;
    }
    if ((!stages.payloadChecked && !payloadVerified(stages)) || stoppedAt(kAfterPayloadCheck)) {
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
            resultForError(ResultBrokenUpdateFile, payloadHash.getFailureError()),
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

// The update file opened again for a stage: the very file whose header was
// read, not one that took its name since (a rename, a new download).
FilePtr ApplyUpdateFile::reopenUpdateFile(const Plan& plan, const char* user) {
    FilePtr file(fileops::open(updateFilePath.c_str(), "rb", user));
    if (!file) {
        const int code = errno;
        const std::string error = errnoText();
        debugLog("%s : update file open for %s fail %s\n", kModule, user, error.c_str());
        failed(resultForError(ResultBrokenUpdateFile, code),
               updateFileReason("cannot be opened: " + error));
        return nullptr;
    }
    uint64_t volume = 0, index = 0;
    if (plan.identified && fileio::identity(file.get(), volume, index) &&
        (volume != plan.fileVolume || index != plan.fileIndex)) {
        debugLog("%s : update file %s replaced before %s\n", kModule, updateFilePath.c_str(), user);
        failed(ResultBrokenUpdateFile, "the update file " + updateFilePath +
                                           " was replaced while it was read: another file "
                                           "took its name");
        return nullptr;
    }
    return file;
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
    const int error = imageDecompress.getFailureError();
    if (failure == InflateFailure::ReadFailed) {
        fail(resultForError(ResultBrokenUpdateFile, error), updateFileReason(text));
    } else if (failure == InflateFailure::WriteFailed) {
        fail(resultForError(ResultTempFileCreate, error),
             imageDecompress.getFailureError() == ENOSPC
                 ? formatText("unpacking into %s failed: the volume of %s is full: %s",
                              tempFilePath.c_str(), root.c_str(), text.c_str())
                 : formatText("unpacking into %s failed: %s", tempFilePath.c_str(), text.c_str()));
    } else {
        // No buffers, or zlib without memory: the system's, not the file's.
        fail(failure == InflateFailure::CannotStart ? ResultNoResources : ResultTempFileCreate,
             formatText("the payload could not be unpacked into %s: %s", tempFilePath.c_str(),
                        text.c_str()));
    }
}

// The update job: applies one update file to one target on a worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/resultcode.h"
#include "stages/compress.h"
#include "stages/hash.h"
#include "stages/updatefile.h"
#include "storage/target.h"
#include "update/rootcopy.h"

class ApplyUpdateFile {
public:
    static constexpr uint64_t kRequiredFreeSpace = 4294967296ull;
    static constexpr int kCopyStart = RootCopy::kCopyStart;
    static constexpr int kCopyEnd = RootCopy::kCopyEnd;

    // An empty driveName makes targetPath an image file; otherwise the
    // drive is named here, once.
    ApplyUpdateFile(const std::string& updateFilePath, const std::string& targetPath,
                    const std::string& driveName);
    // A target the front end has named and holds already.
    ApplyUpdateFile(const std::string& updateFilePath, std::unique_ptr<Target> target);
    ~ApplyUpdateFile();
    ApplyUpdateFile(const ApplyUpdateFile&) = delete;
    ApplyUpdateFile& operator=(const ApplyUpdateFile&) = delete;

    void create();
    void setPause(bool pause) { paused.store(pause); }
    // Whether the root is read back from the target and compared once
    // written; on unless turned off before create().
    void setVerify(bool on) { verify = on; }
    // Also asks the running stages to suspend, so that the job ends within
    // one chunk of whatever it is doing.
    void requestStop();
    int getProgress() const { return progress.load(); }
    // Inside the first phases: bytes of the payload hashed (while verifying
    // the file, progress 5) and of the root unpacked (progress 10).
    uint64_t getHashedBytes() const { return payloadHash.getBytesDone(); }
    uint64_t getUnpackedBytes() const { return imageDecompress.getBytesOut(); }
    int getResult() const { return resultCode.load(); }
    // How much of the root the job has written so far.
    using Written = RootCopy::Written;
    Written getWritten() const { return rootCopy.getWritten(); }
    // Inside the copy: bytes of the root written, and bytes found already
    // on the card and left as they were.
    uint64_t getBytesWritten() const { return rootCopy.getBytesWritten(); }
    uint64_t getBytesKept() const { return rootCopy.getBytesKept(); }
    // Inside the read-back: bytes of the written pieces read back so far.
    uint64_t getBytesReadBack() const { return rootCopy.getBytesReadBack(); }
    bool isSuccess() const { return succeeded.load(); }
    // From create() until the worker has released the target and closed the
    // temporary file; false before create().
    bool isRunning() const { return running.load(); }
    // Why the job failed, in plain words with the values that failed, for
    // the command line and the log; empty on success and after a stop.
    std::string getReason() const;
    void join();

    // The temporary file beside the update file, "<update file>.<unique>.tmp":
    // a name of this job's own, chosen at construction.
    const std::string& getTempFilePath() const { return tempFilePath; }

private:
    // Where the worker looks for a stop; the log line names the number.
    enum Checkpoint : int {
        kBeforeStart = 210,        // before anything is looked at
        kAfterChecks = 418,        // the card fits, the payload is being read
        kAfterPayloadCheck = 467,  // the payload's digest is known
        kAfterUnpacking = 504,     // the temporary file is whole
        kTakingTheCard = 159,      // while a volume of the card is in use by others
    };
    // What the first phases learn and the later ones use.
    struct Plan {
        std::string absPath;   // of the update file
        std::string rootPath;  // the folder that takes the temporary file
        uint64_t available = 0;
        uint64_t startOffset = 0;  // of the root partition, from the header
        uint64_t size = 0;
        // The file whose header was read; every stage reads that one file.
        bool identified = false;
        uint64_t fileVolume = 0, fileIndex = 0;
    };
    class StageThreads;
    class TempFile;

    void run();
    // The phases, in order; each says its own failure (code and reason).
    bool checkVolume(Plan& plan);
    bool checkTarget(const Plan& plan);
    bool checkFreeSpace(Plan& plan);
    bool checkHeader(Plan& plan);
    bool unpack(const Plan& plan, TempFile& temp);
    bool rootMatches(const Plan& plan);
    bool payloadVerified(StageThreads& stages);

    FilePtr reopenUpdateFile(const Plan& plan, const char* user);
    template <typename Payload>
    bool startThread(std::thread& thread, const char* what, Payload&& payload);
    void failUnpacking(const std::string& root, uint64_t size);
    std::string updateFileReason(const std::string& what) const;
    bool waitWhilePaused(int checkpoint);
    bool betweenChunks(int checkpoint);
    bool stoppedAt(int checkpoint);
    // fail(), then false: a phase's one way out on failure.
    bool failed(int code, const std::string& why);
    void fail(int code, const std::string& why);

    std::unique_ptr<Target> target;
    bool verify = true;
    std::thread worker;
    uint8_t compressDataHash[32] = {};
    uint8_t auxHash[32] = {};
    PartitionHash payloadHash;
    UpdateFile updateFile;
    ImageDecompress imageDecompress;
    std::string updateFilePath;
    std::string tempFilePath;
    std::atomic<bool> running{false};  // from create() to the worker's end
    std::atomic<int> progress{0};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> succeeded{false};
    std::atomic<int> resultCode{0};
    RootCopy rootCopy;
    mutable std::mutex reasonMutex;
    std::string reason;
};

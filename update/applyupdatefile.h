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

class ApplyUpdateFile {
public:
    static constexpr uint64_t kRequiredFreeSpace = 4294967296ull;
    static constexpr uint32_t kCopyChunk = 8388608;
    // The copy compares and writes the root in pieces of an SD card's usual
    // allocation unit, the erase block it rewrites whole; a piece whose head
    // already differs is written without reading the rest.
    static constexpr uint32_t kPiece = kCopyChunk / 2;
    static constexpr uint32_t kPieceHead = 65536;
    // Progress: the copy ends at kCopyEnd, the read-back fills the rest up
    // to 99. A card reads several times faster than it writes.
    static constexpr int kCopyStart = 15;
    static constexpr int kCopyEnd = 84;

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
    void setVerify(bool on) {
        verify = on;
        imageDecompress.setHashOutput(on);
    }
    // Also asks the running stages to suspend, so that the job ends within
    // one chunk of whatever it is doing.
    void requestStop();
    int getProgress() const { return progress.load(); }
    // Inside the first phases: bytes of the payload hashed (while verifying
    // the file, progress 5) and of the root unpacked (progress 10).
    uint64_t getHashedBytes() const { return payloadHash.getBytesDone(); }
    uint64_t getUnpackedBytes() const { return imageDecompress.getBytesOut(); }
    int getResult() const { return resultCode.load(); }
    // How much of the root the job has written so far: a stop or a failure
    // leaves the card untouched, partly written, or written in full but not
    // yet (or not completely) read back.
    enum class Written { Nothing, Partly, All };
    Written getWritten() const { return written.load(); }
    // Inside the copy: bytes of the root written, and bytes found already
    // on the card and left as they were.
    uint64_t getBytesWritten() const { return bytesWritten.load(); }
    uint64_t getBytesKept() const { return bytesKept.load(); }
    bool isSuccess() const { return succeeded.load(); }
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
        kInCopy = 157,             // between two chunks of the comparison or the copy
        kInReadBack = 160,         // between two chunks of the read-back
        kBeforeStart = 210,        // before anything is looked at
        kAfterChecks = 418,        // the card fits, the payload is being read
        kAfterPayloadCheck = 467,  // the payload's digest is known
        kAfterUnpacking = 504,     // the temporary file is whole
    };
    // What the first phases learn and the later ones use.
    struct Plan {
        std::string absPath;   // of the update file
        std::string rootPath;  // the folder that takes the temporary file
        uint64_t available = 0;
        uint64_t startOffset = 0;  // of the root partition, from the header
        uint64_t size = 0;
    };
    class StageThreads;
    class TempFile;

    void run();
    // The phases, in order; each says its own failure (code and reason).
    bool checkVolume(Plan& plan);
    bool checkTarget(const Plan& plan);
    bool checkHeader(Plan& plan);
    bool unpack(const Plan& plan, TempFile& temp);
    bool rootMatches(const Plan& plan);
    bool payloadVerified(StageThreads& stages);
    bool overwrite(FILE* source, uint64_t offset, uint64_t size);
    bool verifyTarget(uint64_t offset, uint64_t size);

    template <typename Payload>
    bool startThread(std::thread& thread, const char* what, Payload&& payload);
    template <typename Step>
    bool eachChunk(uint64_t from, uint64_t size, uint32_t length, Checkpoint checkpoint, Step step);
    void failUnpacking(const std::string& root, uint64_t size);
    std::string updateFileReason(const std::string& what) const;
    int holdsPiece(FILE* source, uint8_t* data, uint8_t* held, uint64_t offset, uint64_t done,
                   uint32_t piece);
    bool readTempChunk(uint8_t* buffer, uint32_t chunk, FILE* source, uint64_t done);
    bool rewind(FILE* source);
    bool seekTemp(FILE* source, uint64_t offset);
    std::string ioReason(const char* what, bool wroteAny, uint64_t done,
                         const rawdevice::Error& error) const;
    bool waitWhilePaused(int checkpoint);
    bool betweenChunks(Checkpoint checkpoint);
    bool stoppedAt(Checkpoint checkpoint);
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
    std::atomic<Written> written{Written::Nothing};
    std::atomic<uint64_t> bytesWritten{0};
    std::atomic<uint64_t> bytesKept{0};
    mutable std::mutex reasonMutex;
    std::string reason;
};

// The copy of an unpacked root partition onto its target. While the payload
// is unpacked, each piece is compared with the target's (reads only) and the
// pieces that differ are noted; once the target is taken for writing,
// exactly those are written, and then only they are read back.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/common.h"
#include "stages/compress.h"
#include "storage/target.h"

class RootCopy : public OutputSink {
public:
    // The root is judged and written in pieces of an SD card's usual
    // allocation unit, the erase block it rewrites whole: one piece for each
    // chunk the unpacking writes. A piece whose head already differs is not
    // read further.
    static constexpr uint32_t kPiece = Compress::kChunk;
    static constexpr uint32_t kPieceHead = 65536;
    // Unpacked pieces that may wait for their comparison: the unpacking runs
    // this far ahead of the card before it waits.
    static constexpr int kWaiting = 2;
    // Progress: the copy ends at kCopyEnd, the read-back fills the rest up
    // to 99. A card reads several times faster than it writes.
    static constexpr int kCopyStart = 15;
    static constexpr int kCopyEnd = 84;
    // Where a stop is looked for; the log line names the number.
    enum Checkpoint : int {
        kInCopy = 157,        // between two pieces written (or judged again)
        kInComparison = 158,  // between two pieces compared while unpacking
        kInReadBack = 160,    // between two pieces read back
    };
    // How much of the root has been written: a stop or a failure leaves the
    // target untouched, partly written, or written in full but not yet (or
    // not completely) read back.
    enum class Written { Nothing, Partly, All };

    // carryOn is asked between two pieces of the copy and the read-back;
    // false ends the walk there (a stop, no failure). progress is the
    // job's word the owner polls.
    RootCopy(Target& target, std::atomic<int>& progress, std::function<bool(int)> carryOn);
    RootCopy(const RootCopy&) = delete;
    RootCopy& operator=(const RootCopy&) = delete;

    // Before a run: nothing written, nothing counted.
    void reset();
    // Before the unpacking: the root is size bytes at offset of the target,
    // and with readBack each piece that differs keeps its digest. False,
    // with failure(), when the buffers cannot be had.
    bool begin(uint64_t offset, uint64_t size, bool readBack);

    // On the unpacking thread: each chunk unpacked, in order. take waits
    // while kWaiting pieces are waiting for judge().
    uint8_t* firstBuffer() override;
    uint8_t* take(uint8_t* data, uint32_t length) override;
    // The unpacking has ended, whichever way.
    void endOfOutput();
    // On the worker while the unpacking runs: compares each piece handed
    // over with the target's, until endOfOutput. between is asked before
    // each piece; false there ends the judging (a stop, or a failure the
    // caller has set). False on that or on a failed read (failure()).
    bool judge(const std::function<bool()>& between);
    // Has judge() ask between at once, piece or not: something it checks
    // there (the payload's digest) is known.
    void nudge();
    // No more judging: the unpacking no longer waits, and what it hands
    // over is dropped. For a job that ends while the unpacking runs.
    void cancel();

    // Takes the target and writes the pieces judged different, from source
    // (the temporary file, whole). False on a stop, on a failure, and with
    // ResultUpToDate, nothing written, when no piece differs.
    bool overwrite(FILE* source, const std::string& sourcePath);
    // Reads each piece written back, past the system's caches, and compares
    // it with the digest of the unpacked piece; false on a stop or a failure.
    bool readBack();

    // Why the last operation failed; code 0 after success and after a stop.
    const TargetFailure& failure() const { return failed; }
    Written getWritten() const { return written.load(); }
    // Bytes of the root written, and bytes found already on the target and
    // left as they were; safe from another thread.
    uint64_t getBytesWritten() const { return bytesWritten.load(); }
    uint64_t getBytesKept() const { return bytesKept.load(); }
    // Bytes of the written pieces read back so far.
    uint64_t getBytesReadBack() const { return bytesReadBack.load(); }

private:
    using Digest = std::array<uint8_t, 32>;
    struct Handed {
        uint8_t* data;
        uint32_t length;
    };

    bool judgePiece(const uint8_t* data, uint32_t length);
    bool writeNoted(FILE* source);
    bool judgeAgainAndWrite(FILE* source);
    bool writePiece(uint64_t at, const uint8_t* data, uint32_t length);
    int holds(const uint8_t* data, uint64_t at, uint32_t length);
    bool readTemp(FILE* source, uint64_t at, uint32_t length, uint8_t* into, TargetFailure& why);
    void showCopied();
    uint32_t lengthAt(uint64_t at) const;
    std::string ioReason(const char* what, bool wroteAny, uint64_t at,
                         const rawdevice::Error& error) const;
    bool fail(int code, const std::string& why);

    Target& target;
    std::atomic<int>& progress;
    std::function<bool(int)> carryOn;
    TargetFailure failed;
    std::atomic<Written> written{Written::Nothing};
    std::atomic<uint64_t> bytesWritten{0};
    std::atomic<uint64_t> bytesKept{0};
    std::atomic<uint64_t> bytesReadBack{0};

    uint64_t rootOffset = 0;
    uint64_t rootSize = 0;
    bool digests = false;
    std::string tempPath;  // for the log
    // The pieces that differ, by their first byte in the root, ascending;
    // with digests, the SHA-256 of each as unpacked, in the same order.
    std::vector<uint64_t> differing;
    std::vector<Digest> digestOf;
    uint64_t judged = 0;  // bytes of the root compared so far
    int lastLogged = 0;

    // kWaiting + 2 buffers go round: one being unpacked into, one being
    // judged, the rest waiting or spare. held takes the target's bytes.
    std::vector<ChunkBuffer> pool;
    ChunkBuffer held;
    std::mutex handOver;
    std::condition_variable changed;
    std::deque<Handed> waiting;
    std::vector<uint8_t*> spare;
    bool outputEnded = false;
    bool cancelled = false;
    bool nudged = false;
};

// The copy of an unpacked root partition onto its target: which pieces the
// target already holds, writing the others, and reading back what was
// written. The update job runs it on its worker thread once the temporary
// file is whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "common/common.h"
#include "storage/target.h"

class RootCopy {
public:
    // The copy compares and writes the root in pieces of an SD card's usual
    // allocation unit, the erase block it rewrites whole; a piece whose head
    // already differs is written without reading the rest.
    static constexpr uint32_t kPiece = 4194304;
    static constexpr uint32_t kPieceHead = 65536;
    static constexpr uint32_t kReadBackChunk = 2 * kPiece;
    // Progress: the copy ends at kCopyEnd, the read-back fills the rest up
    // to 99. A card reads several times faster than it writes.
    static constexpr int kCopyStart = 15;
    static constexpr int kCopyEnd = 84;
    // Where a stop is looked for; the log line names the number.
    enum Checkpoint : int {
        kInCopy = 157,      // between two pieces of the comparison or the copy
        kInReadBack = 160,  // between two chunks of the read-back
    };
    // How much of the root has been written: a stop or a failure leaves the
    // target untouched, partly written, or written in full but not yet (or
    // not completely) read back.
    enum class Written { Nothing, Partly, All };

    // carryOn is asked between two pieces; false ends the walk there (a
    // stop, no failure). progress is the job's word the owner polls.
    RootCopy(Target& target, std::atomic<int>& progress, std::function<bool(int)> carryOn);
    RootCopy(const RootCopy&) = delete;
    RootCopy& operator=(const RootCopy&) = delete;

    // Before a run: nothing written, nothing counted.
    void reset();
    // Writes the pieces of the root (size bytes at offset of the target)
    // that differ from source, the temporary file. False on a stop, on a
    // failure (failure() says which) and when no piece differs, which is
    // ResultUpToDate with nothing written.
    bool overwrite(FILE* source, const std::string& sourcePath, uint64_t offset, uint64_t size);
    // Reads the root back, past the system's caches, and compares its
    // SHA-256 with expected; false on a stop or a failure.
    bool readBack(uint64_t offset, uint64_t size, const uint8_t* expected);

    // Why the last operation failed; code 0 after success and after a stop.
    const TargetFailure& failure() const { return failed; }
    Written getWritten() const { return written.load(); }
    // Bytes of the root written, and bytes found already on the target and
    // left as they were; safe from another thread.
    uint64_t getBytesWritten() const { return bytesWritten.load(); }
    uint64_t getBytesKept() const { return bytesKept.load(); }

private:
    template <typename Step>
    bool eachChunk(uint64_t from, uint64_t size, uint32_t length, Checkpoint checkpoint, Step step);
    int holdsPiece(FILE* source, uint8_t* data, uint8_t* held, uint64_t offset, uint64_t done,
                   uint32_t piece);
    bool readTempChunk(uint8_t* buffer, uint32_t chunk, FILE* source, uint64_t done);
    bool seekTemp(FILE* source, uint64_t offset);
    std::string ioReason(const char* what, bool wroteAny, uint64_t done,
                         const rawdevice::Error& error) const;
    bool fail(int code, const std::string& why);

    Target& target;
    std::atomic<int>& progress;
    std::function<bool(int)> carryOn;
    std::string tempPath;  // for the log
    TargetFailure failed;
    std::atomic<Written> written{Written::Nothing};
    std::atomic<uint64_t> bytesWritten{0};
    std::atomic<uint64_t> bytesKept{0};
};

// Makes update files: the root partition of a card image, deflated and
// sealed behind its header. qlupdate make and the tests share it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "stages/compress.h"
#include "stages/hash.h"
#include "stages/updatefile.h"

class UpdateFileMaker {
public:
    enum class Phase { Idle, ReadingCard, Compressing, HashingPayload, Writing };

    // hashNum entries in the header's table, zero-filled unless set.
    explicit UpdateFileMaker(uint32_t hashNum = 0) : writer(hashNum) {}
    UpdateFileMaker(const UpdateFileMaker&) = delete;
    UpdateFileMaker& operator=(const UpdateFileMaker&) = delete;

    // Reads size bytes at offset of card once and writes the update file
    // into output, an empty stream: the header, then those bytes deflated.
    // The header's auxiliary digest is the SHA-256 of exactly the bytes
    // read, its payload digest that of exactly the bytes written, so the
    // file is whole even if the card changed meanwhile. cardName and
    // outputName are for the reasons. The output is flushed, not synced.
    bool make(FILE* card, const std::string& cardName, uint64_t offset, uint64_t size, FILE* output,
              const std::string& outputName);
    // The same in two steps through a payload file: pack deflates the bytes
    // into payloadPath (read once, the auxiliary digest taken from them);
    // seal writes outputPath, the sealed header for a root of size bytes at
    // startOffset, then the payload.
    bool pack(const std::string& cardImage, uint64_t offset, uint64_t size,
              const std::string& payloadPath);
    bool seal(const std::string& payloadPath, uint64_t startOffset, uint64_t size,
              const std::string& outputPath);
    bool setHashEntry(int index, const uint8_t hash[32]) {
        return writer.setupHashData(hash, index);
    }

    // Safe from another thread: the running step ends at its next chunk.
    void requestSuspend();
    bool wasSuspended() const { return suspended.load(); }
    // What the running step is, how far the card has been read and how
    // much payload has been written.
    Phase getPhase() const { return phase.load(); }
    uint64_t getCardBytesRead() const { return compressor.getBytesIn(); }
    uint64_t getPayloadBytesWritten() const { return compressor.getBytesOut(); }
    uint64_t getPayloadBytesHashed() const { return payloadHash.getBytesDone(); }
    uint32_t getHeaderSize() const { return writer.getHeaderSize(); }
    // Why the last step failed, in plain words with the system's.
    const std::string& getFailure() const { return failure; }
    // errno of the call that failed: EMFILE or ENOMEM tell a system short
    // of resources from a file that failed.
    int getFailureError() const { return failureError; }

private:
    bool failed(const std::string& why, int error = 0);
    bool compressFailed(const std::string& cardName, const std::string& outputName);

    std::atomic<Phase> phase{Phase::Idle};
    std::atomic<bool> suspendRequested{false};
    std::atomic<bool> suspended{false};
    Compress compressor;
    Hash payloadHash;
    UpdateFile writer;
    uint8_t cardDigest[32] = {};
    std::string failure;
    int failureError = 0;
};

// Makes update files: the root partition of a card image, deflated and
// sealed behind its header. qlupdate make and the tests share it.
#pragma once

#include <atomic>
#include <cstdint>
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

    // Deflates size bytes at offset of cardImage into payloadPath while a
    // second thread takes their SHA-256 (the header's auxiliary digest).
    bool pack(const std::string& cardImage, uint64_t offset, uint64_t size,
              const std::string& payloadPath);
    // Writes outputPath: the sealed header for a root partition of size bytes
    // at startOffset, then the payload at payloadPath.
    bool seal(const std::string& payloadPath, uint64_t startOffset, uint64_t size,
              const std::string& outputPath);
    bool setHashEntry(int index, const uint8_t hash[32]) {
        return writer.setupHashData(hash, index);
    }

    // Safe from another thread: the running step ends at its next chunk.
    void requestSuspend();
    bool wasSuspended() const { return suspended.load(); }
    // What the running step is and how far the card has been read.
    Phase getPhase() const { return phase.load(); }
    uint64_t getCardBytesRead() const { return rootHash.getBytesDone(); }
    uint64_t getPayloadBytesHashed() const { return payloadHash.getBytesDone(); }
    uint32_t getHeaderSize() const { return writer.getHeaderSize(); }
    // Why the last step failed, in plain words.
    const std::string& getFailure() const { return failure; }

private:
    bool failed(const std::string& why);

    std::atomic<Phase> phase{Phase::Idle};
    std::atomic<bool> suspendRequested{false};
    std::atomic<bool> suspended{false};
    Hash rootHash;
    Compress compressor;
    Hash payloadHash;
    UpdateFile writer;
    std::string failure;
};

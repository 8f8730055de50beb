#include "stages/updatefilemaker.h"

#include <thread>

namespace {

const char* const kModule = "updatefilemaker";

}  // namespace

void UpdateFileMaker::requestSuspend() {
    suspendRequested.store(true);
    rootHash.requestSuspend();
    compressor.requestSuspend();
    payloadHash.requestSuspend();
}

bool UpdateFileMaker::failed(const std::string& why) {
    phase.store(Phase::Idle);
    if (suspendRequested.load()) {
        suspended.store(true);
        failure = "stopped";
        return false;
    }
    debugLog("%s : %s\n", kModule, why.c_str());
    failure = why;
    return false;
}

bool UpdateFileMaker::pack(const std::string& cardImage, uint64_t offset, uint64_t size,
                           const std::string& payloadPath) {
    // The digest and the compression read the card independently; the
    // digest usually finishes first and shows how far the reading is.
    phase.store(Phase::ReadingCard);
    bool hashed = false;
    std::thread hasher([&] { hashed = rootHash.calcHash(cardImage, offset, size); });
    const bool packed = compressor.compress(cardImage, offset, size, payloadPath);
    hasher.join();
    if (!hashed) {
        return failed("reading the root partition of " + cardImage + " failed");
    }
    if (!packed) {
        return failed("compressing the root partition into " + payloadPath + " failed");
    }
    phase.store(Phase::Idle);
    return !suspendRequested.load() || failed("stopped");
}

bool UpdateFileMaker::seal(const std::string& payloadPath, uint64_t startOffset, uint64_t size,
                           const std::string& outputPath) {
    phase.store(Phase::HashingPayload);
    if (!payloadHash.calcHash(payloadPath, 0, 0)) {
        return failed("hashing the payload " + payloadPath + " failed");
    }
    phase.store(Phase::Writing);
    if (suspendRequested.load()) {
        return failed("stopped");
    }
    if (!writer.setupHeader(startOffset, size, payloadHash.getHashValue(),
                            rootHash.getHashValue()) ||
        !writer.appendFile(outputPath, payloadPath)) {
        return failed("writing " + outputPath + " failed");
    }
    phase.store(Phase::Idle);
    return true;
}

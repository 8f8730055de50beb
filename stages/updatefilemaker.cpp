#include "stages/updatefilemaker.h"

#include <cerrno>
#include <vector>

#include "common/fileio.h"

namespace {

const char* const kModule = "updatefilemaker";

}  // namespace

void UpdateFileMaker::requestSuspend() {
    suspendRequested.store(true);
    compressor.requestSuspend();
    payloadHash.requestSuspend();
}

bool UpdateFileMaker::failed(const std::string& why, int error) {
    phase.store(Phase::Idle);
    if (suspendRequested.load()) {
        suspended.store(true);
        failure = "stopped";
        failureError = 0;
        return false;
    }
    debugLog("%s : %s\n", kModule, why.c_str());
    failure = why;
    failureError = error;
    return false;
}

// The compressor's failure, said of the file it met.
bool UpdateFileMaker::compressFailed(const std::string& cardName, const std::string& outputName) {
    const std::string& text = compressor.getFailureText();
    switch (compressor.getFailure()) {
        case InflateFailure::ReadFailed:
            return failed("the card image " + cardName + " could not be read: " + text,
                          compressor.getFailureError());
        case InflateFailure::WriteFailed:
            return failed("writing " + outputName + " failed: " + text,
                          compressor.getFailureError());
        default:
            return failed("compressing the root partition failed: " + text,
                          compressor.getFailureError());
    }
}

bool UpdateFileMaker::make(FILE* card, const std::string& cardName, uint64_t offset, uint64_t size,
                           FILE* output, const std::string& outputName) {
    failure.clear();
    failureError = 0;
    if (writer.getHeader() == nullptr) {
        return failed("the header's table has more than 65535 entries");
    }
    phase.store(Phase::Compressing);
    if (!fileops::seek(card, offset)) {
        const int error = errno;
        return failed(
            formatText("the card image %s cannot be read from byte %I64u: %s", cardName.c_str(),
                       static_cast<unsigned long long>(offset), fileio::lastErrorText().c_str()),
            error);
    }
    // The payload goes behind room for the header, which is written once
    // both digests are known.
    const std::vector<uint8_t> room(writer.getHeaderSize(), 0);
    if (!fileops::seek(output, 0) || fileops::write(room.data(), room.size(), 1, output) != 1) {
        const int error = errno;
        return failed("writing " + outputName + " failed: " + fileio::lastErrorText(), error);
    }
    uint8_t payloadDigest[32];
    if (!compressor.compress(card, size, output, cardDigest, payloadDigest)) {
        return compressFailed(cardName, outputName);
    }
    phase.store(Phase::Writing);
    if (suspendRequested.load()) {
        return failed("stopped");
    }
    if (!writer.setupHeader(offset, size, payloadDigest, cardDigest) || !fileops::seek(output, 0) ||
        fileops::write(writer.getHeader(), writer.getHeaderSize(), 1, output) != 1 ||
        !fileops::flush(output)) {
        const int error = errno;
        return failed("writing " + outputName + " failed: " + fileio::lastErrorText(), error);
    }
    phase.store(Phase::Idle);
    return true;
}

bool UpdateFileMaker::pack(const std::string& cardImage, uint64_t offset, uint64_t size,
                           const std::string& payloadPath) {
    failure.clear();
    failureError = 0;
    phase.store(Phase::Compressing);
    FilePtr card(fileops::open(cardImage.c_str(), "rb", kModule));
    FilePtr out(card ? fileops::open(payloadPath.c_str(), "wb", kModule) : nullptr);
    if (!card || !out) {
        const int error = errno;
        return failed(
            (card ? payloadPath : cardImage) + " cannot be opened: " + fileio::lastErrorText(),
            error);
    }
    if (!fileops::seek(card.get(), offset)) {
        const int error = errno;
        return failed("the card image " + cardImage + " cannot be read: " + fileio::lastErrorText(),
                      error);
    }
    if (!compressor.compress(card.get(), size, out.get(), cardDigest, nullptr)) {
        return compressFailed(cardImage, payloadPath);
    }
    const bool flushed = fileops::flush(out.get());
    if (fileops::close(out.release()) != 0 || !flushed) {
        const int error = errno;
        return failed("writing " + payloadPath + " failed: " + fileio::lastErrorText(), error);
    }
    phase.store(Phase::Idle);
    return !suspendRequested.load() || failed("stopped");
}

bool UpdateFileMaker::seal(const std::string& payloadPath, uint64_t startOffset, uint64_t size,
                           const std::string& outputPath) {
    phase.store(Phase::HashingPayload);
    if (!payloadHash.calcHash(payloadPath, 0, 0)) {
        return failed("the payload " + payloadPath + " " + payloadHash.getFailure(),
                      payloadHash.getFailureError());
    }
    phase.store(Phase::Writing);
    if (suspendRequested.load()) {
        return failed("stopped");
    }
    if (!writer.setupHeader(startOffset, size, payloadHash.getHashValue(), cardDigest) ||
        !writer.appendFile(outputPath, payloadPath)) {
        return failed("writing " + outputPath + " failed");
    }
    phase.store(Phase::Idle);
    return true;
}

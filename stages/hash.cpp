#include "stages/hash.h"

// SHA256_Init/Update/Final are deprecated in OpenSSL 3 but still provided.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "common/fileio.h"

namespace {

const char* const kModule = "hash";

}  // namespace

Hash::Hash() : readBuffer(allocateChunk(kChunk)) {
    std::memset(hashValue, 0, sizeof hashValue);
}

// Clears what the last run left; false, with the reason, when there is no
// buffer to read into.
bool Hash::begin() {
    progress.store(0);
    bytesDone.store(0);
    suspended = false;
    shrank = false;
    failure.clear();
    failureError = 0;
    std::memset(hashValue, 0, sizeof hashValue);
    if (!readBuffer) {
        debugLog("%s : no buffer\n", kModule);
        failure = "could not be read: out of memory for the hashing buffer";
        failureError = ENOMEM;
        return false;
    }
    return true;
}

// The size from offset to the end, or false with the reason.
bool Hash::sizeToTheEnd(int64_t fileSize, uint64_t offset, const std::string& path,
                        uint64_t& size) {
    if (fileSize == -1 || static_cast<int64_t>(offset) >= fileSize) {
        failureError = fileSize == -1 ? errno : 0;
        failure = fileSize == -1
                      ? "cannot be opened: " + fileio::lastErrorText()
                      : formatText("holds nothing from byte %I64u on: it is %I64d bytes long",
                                   static_cast<unsigned long long>(offset),
                                   static_cast<long long>(fileSize));
        debugLog("%s : getFileSize %I64d error offset %I64d (%s)\n", kModule,
                 static_cast<long long>(fileSize), static_cast<long long>(offset), path.c_str());
        return false;
    }
    size = static_cast<uint64_t>(fileSize) - offset;
    return true;
}

bool Hash::calcHash(const std::string& path, uint64_t offset, uint64_t size) {
    if (!begin()) {
        return false;
    }
    const bool toTheEnd = size == 0;
    if (toTheEnd && !sizeToTheEnd(getFileSize(path.c_str()), offset, path, size)) {
        return false;
    }
    FilePtr file(fileops::open(path.c_str(), "rb", kModule));
    if (!file) {
        failureError = errno;
        failure = "cannot be opened: " + fileio::lastErrorText();
        debugLog("%s : fopen error %s\n", kModule, path.c_str());
        return false;
    }
    return hashRange(file.get(), offset, size, toTheEnd);
}

bool Hash::calcHash(FILE* file, uint64_t offset, uint64_t size) {
    if (!begin()) {
        return false;
    }
    const bool toTheEnd = size == 0;
    if (toTheEnd && !sizeToTheEnd(fileops::size(file), offset, "the open file", size)) {
        return false;
    }
    return hashRange(file, offset, size, toTheEnd);
}

bool Hash::hashRange(FILE* file, uint64_t offset, uint64_t size, bool toTheEnd) {
    SHA256_CTX context;
    SHA256_Init(&context);
    if (offset != 0 && !fileops::seek(file, offset)) {
        failureError = errno;
        failure =
            formatText("cannot be read from byte %I64u: %s",
                       static_cast<unsigned long long>(offset), fileio::lastErrorText().c_str());
        debugLog("%s : fseeko error %I64d\n", kModule, static_cast<long long>(offset));
        return false;
    }
    if (suspendRequested.load()) {
        debugLog("%s : suspend\n", kModule);
        suspended = true;
        return false;
    }
    bool completed = true;
    uint64_t remaining = size;
    while (remaining > 0) {
        const uint32_t chunk = remaining < kChunk ? static_cast<uint32_t>(remaining) : kChunk;
        if (fileops::read(readBuffer.get(), chunk, 1, file) != 1) {
            // A short read at the end. Hashing to the end, the file is
            // shorter than it was when its size was taken.
            const bool ended = std::feof(file) != 0;
            failureError = ended ? 0 : errno;
            shrank = ended && toTheEnd;
            const std::string error = ended ? std::string("end of file") : fileio::lastErrorText();
            const unsigned long long at = offset + size - remaining;
            failure = !ended ? formatText("could not be read at byte %I64u: %s", at, error.c_str())
                      : shrank ? formatText(
                                     "ended before byte %I64u; it had %I64u bytes when the "
                                     "reading began",
                                     at + chunk, static_cast<unsigned long long>(offset + size))
                               : formatText("ends before byte %I64u", at + chunk);
            debugLog("%s : fread (%u) error %s\n", kModule, chunk, error.c_str());
            completed = false;
            break;
        }
        remaining -= chunk;
        SHA256_Update(&context, readBuffer.get(), chunk);
        bytesDone.store(size - remaining);
        if (suspendRequested.load()) {
            debugLog("%s : suspend\n", kModule);
            suspended = true;
            completed = false;
            break;
        }
        // remaining * 100 cannot overflow: a file is far below 2^57 bytes.
        progress.store(static_cast<uint32_t>(100 - (remaining * 100) / size));
    }
    SHA256_Final(hashValue, &context);
    return completed;
}

void Hash::printHashValue() const {
    debugLog("hash value:");
    for (uint32_t i = 0; i < kDigestSize; ++i) {
        std::printf("%02x", hashValue[i]);
    }
    std::printf("\n");
    debugLog("\n");
}

PartitionHash::PartitionHash(bool useDevice)
    : current(useDevice ? static_cast<PartitionInfo&>(device)
                        : static_cast<PartitionInfo&>(image)) {}

bool PartitionHash::operator()(uint64_t offset, uint64_t size) {
    result = false;
    result = hash.calcHash(current.getName(), offset, size);
    return result;
}

bool PartitionHash::hashOpenFile(FILE* file, uint64_t offset) {
    result = false;
    result = hash.calcHash(file, offset, 0);
    return result;
}

bool PartitionHash::hashRootPartition() {
    result = false;
    if (!current.loadMbr()) {
        return false;
    }
    // An unusable layout gives size 0, which calcHash would take as "to the
    // end of the file" and so hash the whole target instead of failing.
    const uint64_t rootSize = current.getRootSize();
    if (rootSize == 0) {
        debugLog("%s : no root partition (%s)\n", kModule, current.getName().c_str());
        return false;
    }
    result = hash.calcHash(current.getName(), current.getRootOffset(), rootSize);
    return result;
}

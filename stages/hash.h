// The hashing stage: SHA-256 of a byte range of a file, in 2 MiB chunks.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/common.h"
#include "storage/deviceinfo.h"
#include "storage/imageinfo.h"

class Hash {
public:
    static constexpr uint32_t kChunk = 2097152;
    static constexpr uint32_t kDigestSize = 32;

    Hash();
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    // size 0 hashes from offset to the end of the file.
    bool calcHash(const std::string& path, uint64_t offset, uint64_t size);
    // The same through a stream the caller opened and closes.
    bool calcHash(FILE* file, uint64_t offset, uint64_t size);
    void requestSuspend() { suspendRequested.store(true); }
    // Whether the last run ended because a suspend was requested.
    bool wasSuspended() const { return suspended; }
    // Why the last run failed, as what the file did, in the system's words
    // ("cannot be opened: Too many open files"); empty after success and
    // after a suspend.
    const std::string& getFailure() const { return failure; }
    // Whether the last run met the file's end before the size it had when
    // the run began: the file was cut while it was read.
    bool fileShrank() const { return shrank; }
    // errno of the call that failed (EMFILE, ENOMEM, EIO); 0 when the file
    // was only too short, or after success.
    int getFailureError() const { return failureError; }
    const uint8_t* getHashValue() const { return hashValue; }
    uint32_t getProgress() const { return progress.load(); }
    // Bytes hashed so far by the running or last run.
    uint64_t getBytesDone() const { return bytesDone.load(); }
    void printHashValue() const;

private:
    bool begin();
    bool sizeToTheEnd(int64_t fileSize, uint64_t offset, const std::string& path, uint64_t& size);
    bool hashRange(FILE* file, uint64_t offset, uint64_t size, bool toTheEnd);

    std::atomic<bool> suspendRequested{false};
    std::atomic<uint32_t> progress{0};
    std::atomic<uint64_t> bytesDone{0};
    bool suspended = false;
    bool shrank = false;
    int failureError = 0;
    std::string failure;
    uint8_t hashValue[kDigestSize];
    ChunkBuffer readBuffer;
};

// A Hash over the file that a partition-table source names.
class PartitionHash {
public:
    explicit PartitionHash(bool useDevice);
    PartitionHash(const PartitionHash&) = delete;
    PartitionHash& operator=(const PartitionHash&) = delete;

    bool setName(const std::string& name) { return current.setName(name); }
    bool isValid() { return current.isValid(); }
    bool loadMbr() { return current.loadMbr(); }
    uint64_t getRootOffset() { return current.getRootOffset(); }
    uint64_t getRootSize() { return current.getRootSize(); }
    const std::string& getName() { return current.getName(); }
    PartitionInfo& source() { return current; }
    DeviceInfo& deviceSource() { return device; }

    // Thread payload: hashes [offset, offset + size) of the current target.
    bool operator()(uint64_t offset, uint64_t size = 0);
    // Hashes an open file from offset to its end.
    bool hashOpenFile(FILE* file, uint64_t offset);
    // Loads the MBR and hashes the root partition; false when the layout
    // gives no root partition.
    bool hashRootPartition();
    bool getResult() const { return result; }
    // nullptr unless the last run succeeded.
    const uint8_t* getHashValue() const { return result ? hash.getHashValue() : nullptr; }
    uint32_t getProgress() const { return hash.getProgress(); }
    uint64_t getBytesDone() const { return hash.getBytesDone(); }
    void requestSuspend() { hash.requestSuspend(); }
    bool wasSuspended() const { return hash.wasSuspended(); }
    const std::string& getFailure() const { return hash.getFailure(); }
    bool fileShrank() const { return hash.fileShrank(); }
    int getFailureError() const { return hash.getFailureError(); }
    void printHashValue() const { hash.printHashValue(); }

private:
    bool result = false;
    ImageInfo image;
    DeviceInfo device;
    PartitionInfo& current;
    Hash hash;
};

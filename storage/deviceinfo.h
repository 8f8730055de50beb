// Partition layout model, the physical-drive target and the drive services.
#pragma once

#include <cstdint>
#include <string>

#include "storage/rawdevice.h"

// The volume that a drive names: "\\.\E:" for the drive letter E:, and a
// drive named by its device path (Linux, "/dev/sdb") is its own volume, so
// that the log speaks of what the system calls it.
std::string volumePathOf(const std::string& drive);

// One MBR sector exactly as read; entries are decoded byte by byte since the
// 32-bit fields are not aligned.
class MbrInfo {
public:
    static constexpr uint32_t kSize = 512;

    MbrInfo() { clear(); }
    void clear();
    uint32_t size() const { return kSize; }
    uint8_t* data() { return bytes; }
    const uint8_t* data() const { return bytes; }

    // Start LBA of entry index; 0 outside 0..3.
    uint32_t getStartSector(int index) const;
    // Start + count modulo 2^32 (exclusive end); 0 outside 0..3.
    uint32_t getEndSector(int index) const;
    uint32_t getSectorCount(int index) const;
    // The partition type byte of entry index; 0 outside 0..3.
    uint8_t getType(int index) const;
    uint32_t getMaxEndSector() const;
    // What keeps entry 1 from being a root partition that an update may
    // overwrite: a type that marks it empty, extended (05, 0F, 85) or a GPT's
    // protective entry (EE), or another entry whose sectors overlap it.
    // Empty when nothing does.
    std::string rootEntryProblem() const;
    void dump(uint32_t bytesPerSector) const;

private:
    uint32_t read32(uint32_t offset) const;
    uint32_t read24(uint32_t offset) const;
    uint8_t bytes[kSize];
};

// An update target: a physical drive or a disk-image file.
class PartitionInfo {
public:
    virtual ~PartitionInfo() = default;
    virtual bool setName(const std::string& name) = 0;
    virtual bool isValid() = 0;
    virtual bool isReady() = 0;
    virtual uint64_t getSize() = 0;
    virtual const std::string& getName() = 0;
    // Byte offset and length of the root partition (entry 1); 0 when not valid.
    virtual uint64_t getRootOffset() = 0;
    virtual uint64_t getRootSize() = 0;
    virtual bool loadMbr() = 0;
};

class DeviceInfo : public PartitionInfo {
public:
    DeviceInfo();
    explicit DeviceInfo(const std::string& drive);
    ~DeviceInfo() override = default;

    // Only the first character of drive (the letter) is used.
    bool setName(const std::string& drive) override;
    // An MBR disk whose root entry may be written (rootEntryProblem).
    bool isValid() override;
    // Why isValid is false, in words; empty when it is true.
    std::string layoutProblem() const;
    bool isReady() override { return ready; }
    uint64_t getSize() override;
    const std::string& getName() override { return name; }
    uint64_t getRootOffset() override;
    uint64_t getRootSize() override;
    // Reads sector 0 of the physical drive (one whole sector, at least 512
    // bytes) and dumps its MBR; on a short read the previous MBR is kept.
    bool loadMbr() override;

    // The same through a drive that the caller holds open (rawdevice::openDisk),
    // read at offset 0 into a sector-aligned buffer.
    bool loadMbrFrom(rawdevice::Handle drive);

    bool getDeviceNumber(const std::string& drive);
    bool getDriveGeometry(rawdevice::Handle handle);

    int32_t getPartitionStyle() const { return partitionStyle; }
    uint32_t getBytesPerSector() const { return bytesPerSector; }
    uint64_t getDiskSize() const { return diskSize; }
    int32_t getDeviceNumberValue() const { return deviceNumber; }
    const MbrInfo& getMbr() const { return mbr; }

private:
    int32_t partitionStyle = 3;
    MbrInfo mbr;
    std::string name;
    uint64_t diskSize = 0;
    uint32_t bytesPerSector = 0;
    int32_t deviceNumber = -1;
    bool ready = false;
    bool mbrLoaded = false;
};

// The name of a STORAGE_BUS_TYPE for the log: "USB", "SD"; "bus 99" for one
// it does not know.
std::string busName(uint32_t bus);

// Letters of the drives a card may be written through, among A: to Y:.
class DriveList {
public:
    // Disks beyond this are no card (SDXC ends at 2 TiB): a fixed disk on a
    // USB bus that is larger is a hard disk.
    static constexpr uint64_t kLargestCard = 2ull << 40;

    DriveList() { letters[0] = '\0'; }
    const char* getRemovableDrives();
    const char* getLetters() const { return letters; }
    // Whether drive's letter (its first character) is offered now.
    bool offers(const std::string& drive);

private:
    char letters[26];
};

// Holds a volume locked and dismounted from unmount() until close().
class UnmountDrive {
public:
    explicit UnmountDrive(char letter) : driveLetter(letter) {}
    ~UnmountDrive() { close(); }
    UnmountDrive(const UnmountDrive&) = delete;
    UnmountDrive& operator=(const UnmountDrive&) = delete;

    // Opens, locks and dismounts the volume. False, with one log line, when
    // the volume cannot be opened for writing or the system refuses the lock
    // or the dismount; the volume is then left as it was and nothing is held.
    bool unmount();
    void close();
    // Hands the held volume (and its lock) to the caller, who closes it.
    rawdevice::Handle detach() {
        const rawdevice::Handle held = volumeHandle;
        volumeHandle = rawdevice::kInvalidHandle;
        return held;
    }

private:
    char driveLetter;
    rawdevice::Handle volumeHandle = rawdevice::kInvalidHandle;
};

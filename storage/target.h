// What the update job writes: one card behind a drive letter, or one
// disk-image file. A target is named once and held from the first check of
// its partition table to the end of the read-back, so that the checks, the
// copy and the read-back all meet the same medium.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "storage/deviceinfo.h"
#include "storage/imageinfo.h"
#include "storage/rawdevice.h"

// A refusal or failure: the job's result code and the reason in plain words.
struct TargetFailure {
    int code = 0;
    std::string why;
};

class Target {
public:
    virtual ~Target() = default;

    // Whether the target was found (and a drive opened) when it was named.
    virtual bool isReady() const = 0;
    virtual bool isDevice() const = 0;
    // The log's name for it: the physical drive or the image's path.
    virtual const std::string& path() const = 0;
    // The drive the user chose ("E:"); empty for an image.
    virtual const std::string& drive() const = 0;
    // How a reason names it to the user: "the card", or the image's path.
    virtual std::string displayName() const = 0;
    // Why it is not ready, in plain words.
    virtual std::string notReadyReason() const = 0;

    // Reads the partition table and checks that the root partition lies
    // where an update may write it; false with the code and the reason (1,
    // or 12 for a card that cannot be read).
    virtual bool loadLayout(TargetFailure& failure) = 0;
    // The layout rule, and the root partition's bytes (0 when not valid).
    virtual bool isValid() = 0;
    // Why the layout rule fails, in words; empty when it holds or there is
    // no table to judge.
    virtual std::string layoutProblem() = 0;
    virtual uint64_t getRootOffset() = 0;
    virtual uint64_t getRootSize() = 0;
    // Whether the file at absPath lies on this target (an update file
    // downloaded onto the card).
    virtual bool holdsFile(const char* absPath) = 0;

    // Opens for the comparison and the copy; source, the temporary file,
    // must not be the target itself.
    virtual bool openForCopy(FILE* source, TargetFailure& failure) = 0;
    // Right before the first byte is written: the medium takes writes,
    // nothing else has the root partition mounted, and the card is still the
    // one checked (its partition table, its size, the reader's count of
    // media changes). False, with nothing written, when not.
    virtual bool prepareWrite(TargetFailure& failure) = 0;
    // Whether prepareWrite dismounted or unmounted a file system over the
    // root, which may have flushed onto it: what was read before may differ.
    virtual bool tookFromOthers() const = 0;
    // Whole sectors at offset (bytes from the medium's start); false with
    // the system's words in error.
    virtual bool read(uint64_t offset, void* buffer, uint32_t length, rawdevice::Error& error) = 0;
    virtual bool write(uint64_t offset, const void* buffer, uint32_t length,
                       rawdevice::Error& error) = 0;
    // Ends the copy: what was written is on the medium (code 5 when not),
    // and what was compared is still there (code 12 when nothing was written).
    virtual bool finishCopy(bool wrote, TargetFailure& failure) = 0;
    // The read-back reads the medium that was written, past the system's caches.
    virtual bool openForReadBack(TargetFailure& failure) = 0;
    virtual bool finishReadBack(TargetFailure& failure) = 0;
    // Ends every lock and closes every handle; a later call does nothing.
    virtual void release() = 0;
    // Asked while the target waits for others (a lock refused for now):
    // true ends the wait, and the call that waited, as a stop (code 0).
    virtual void watchStop(std::function<bool()> stopRequested) { (void)stopRequested; }
};

// An image file as the target; 512-byte sectors, the whole layout rule.
class ImageTarget : public Target {
public:
    explicit ImageTarget(const std::string& path);
    ~ImageTarget() override { release(); }
    ImageTarget(const ImageTarget&) = delete;
    ImageTarget& operator=(const ImageTarget&) = delete;

    bool isReady() const override { return ready; }
    bool isDevice() const override { return false; }
    const std::string& path() const override { return imagePath; }
    const std::string& drive() const override { return noDrive; }
    std::string displayName() const override { return imagePath; }
    std::string notReadyReason() const override;
    bool loadLayout(TargetFailure& failure) override;
    bool isValid() override { return image.isValid(); }
    std::string layoutProblem() override {
        std::string why;
        image.checkLayout(why);
        return why;
    }
    uint64_t getRootOffset() override { return image.getRootOffset(); }
    uint64_t getRootSize() override { return image.getRootSize(); }
    bool holdsFile(const char*) override { return false; }
    bool openForCopy(FILE* source, TargetFailure& failure) override;
    bool prepareWrite(TargetFailure& failure) override;
    bool tookFromOthers() const override { return false; }
    bool read(uint64_t offset, void* buffer, uint32_t length, rawdevice::Error& error) override;
    bool write(uint64_t offset, const void* buffer, uint32_t length,
               rawdevice::Error& error) override;
    bool finishCopy(bool wrote, TargetFailure& failure) override;
    bool openForReadBack(TargetFailure& failure) override;
    bool finishReadBack(TargetFailure& failure) override;
    void release() override;

private:
    bool seekTo(uint64_t offset, rawdevice::Error& error);
    bool closeStream(const char* what, TargetFailure& failure);

    std::string imagePath;
    std::string noDrive;
    ImageInfo image;
    bool ready = false;
    bool missing = false;  // when not ready: no file at the path
    FILE* stream = nullptr;
    intptr_t lockKeeper = -1;  // holds the image against a second job
    uint64_t position = 0;
    bool positionKnown = false;
    // The written file, which the read-back must meet again.
    bool haveIdentity = false;
    uint64_t writtenVolume = 0;
    uint64_t writtenIndex = 0;
};

// The card behind a drive letter: resolved to its physical drive once, and
// that drive held open from then on.
class DriveTarget : public Target {
public:
    // How long a lock refused by another program's open handle is tried again.
    static constexpr int kLockPatienceMs = 15000;
    // How long an open of the disk that another program refuses is tried again.
    static constexpr int kOpenPatienceMs = 3000;

    explicit DriveTarget(const std::string& drive, int lockPatienceMs = kLockPatienceMs,
                         int openPatienceMs = kOpenPatienceMs);
    ~DriveTarget() override { release(); }
    DriveTarget(const DriveTarget&) = delete;
    DriveTarget& operator=(const DriveTarget&) = delete;

    bool isReady() const override { return disk != rawdevice::kInvalidHandle; }
    bool isDevice() const override { return true; }
    const std::string& path() const override { return physicalPath; }
    const std::string& drive() const override { return driveName; }
    std::string displayName() const override { return "the card"; }
    std::string notReadyReason() const override;
    bool loadLayout(TargetFailure& failure) override;
    bool isValid() override { return device.isValid(); }
    std::string layoutProblem() override { return device.layoutProblem(); }
    uint64_t getRootOffset() override { return device.getRootOffset(); }
    uint64_t getRootSize() override { return device.getRootSize(); }
    bool holdsFile(const char* absPath) override;
    bool openForCopy(FILE* source, TargetFailure& failure) override;
    bool prepareWrite(TargetFailure& failure) override;
    bool tookFromOthers() const override { return rootTaken; }
    bool read(uint64_t offset, void* buffer, uint32_t length, rawdevice::Error& error) override;
    bool write(uint64_t offset, const void* buffer, uint32_t length,
               rawdevice::Error& error) override;
    bool finishCopy(bool wrote, TargetFailure& failure) override;
    bool openForReadBack(TargetFailure& failure) override;
    bool finishReadBack(TargetFailure&) override { return true; }
    void release() override;
    void watchStop(std::function<bool()> stopRequested) override {
        stopped = std::move(stopRequested);
    }

    int32_t diskNumber() const { return device.getDeviceNumberValue(); }

private:
    bool open();
    rawdevice::Handle openDisk();
    bool readFirstSector(MbrInfo& mbr, rawdevice::Error& error);
    bool stillTheCheckedCard(TargetFailure& failure);
    bool sameMedium(int code, const char* why, TargetFailure& failure);
    bool fitsMedium(TargetFailure& failure);
    bool refusesWrites(TargetFailure& failure);
    bool takeVolumes(TargetFailure& failure);
    enum class Lock { Taken, Refused, Stopped };
    Lock lockWithPatience(rawdevice::Handle volume);
    void releaseVolumes();

    DeviceInfo device;
    std::string driveName;
    std::string physicalPath;
    int lockPatienceMs;
    int openPatienceMs;
    std::function<bool()> stopped;
    rawdevice::Handle disk = rawdevice::kInvalidHandle;
    rawdevice::Error openFailure;  // why the drive did not open
    bool diskRefused = false;      // the volume opened, its disk did not
    MbrInfo checkedMbr;
    uint64_t checkedDiskSize = 0;
    // The reader's count of media changes when the drive was opened; readers
    // that keep none are known by the partition table and the size alone.
    bool changesCounted = false;
    uint32_t changeCount = 0;
    std::vector<rawdevice::Handle> lockedVolumes;
    bool rootTaken = false;  // a file system over the root dismounted or unmounted
};

// The target a front end names: the card behind drive when it is not empty,
// else the image file at imagePath.
std::unique_ptr<Target> makeTarget(const std::string& imagePath, const std::string& drive);

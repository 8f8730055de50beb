// The disk-image-file target: an MBR image in 512-byte sectors.
#pragma once

#include <cstdint>
#include <string>

#include "storage/deviceinfo.h"

class ImageInfo : public PartitionInfo {
public:
    ImageInfo() = default;
    explicit ImageInfo(const std::string& path) { setName(path); }

    bool setName(const std::string& path) override;
    // The layout rule; logs the first rule that fails, once an MBR is
    // loaded (before, there is no table to fail it).
    bool isValid() override;
    // The same rule, silent: false with the first rule that fails in why
    // (empty when no image is named or no MBR is loaded).
    bool checkLayout(std::string& why) const;
    bool isReady() override { return ready; }
    uint64_t getSize() override { return static_cast<uint64_t>(fileSize); }
    const std::string& getName() override { return fileName; }
    uint64_t getRootOffset() override;
    uint64_t getRootSize() override;
    bool loadMbr() override;

    const MbrInfo& getMbr() const { return mbr; }
    // A first sector read elsewhere (through the target's own stream) and
    // the file's size at that moment, in place of loadMbr; a name, when
    // given, in place of setName's.
    void useMbr(const MbrInfo& sector, int64_t size, const std::string& name = std::string());

private:
    MbrInfo mbr;
    std::string fileName;
    int64_t fileSize = 0;
    bool ready = false;
    bool loaded = false;
};

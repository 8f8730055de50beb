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
    // The layout rule; logs the first rule that fails.
    bool isValid() override;
    // The same rule, silent: false with the first rule that fails in why
    // (empty when no image is named).
    bool checkLayout(std::string& why) const;
    bool isReady() override { return ready; }
    uint64_t getSize() override { return static_cast<uint64_t>(fileSize); }
    const std::string& getName() override { return fileName; }
    uint64_t getRootOffset() override;
    uint64_t getRootSize() override;
    bool loadMbr() override;

    const MbrInfo& getMbr() const { return mbr; }

private:
    MbrInfo mbr;
    std::string fileName;
    int64_t fileSize = 0;
    bool ready = false;
};

#include "storage/imageinfo.h"

#include <cerrno>
#include <cstdio>

#include "common/common.h"

namespace {

const char* const kModule = "imageinfo";
constexpr uint64_t kSectorSize = 512;

}  // namespace

bool ImageInfo::setName(const std::string& path) {
    fileName = path;
    const int64_t size = getFileSize(path.c_str());
    if (size > 0) {
        fileSize = size;
        ready = true;
        return true;
    }
    const int error = errno;  // why the size could not be had, for the caller
    debugLog("%s : setFileName (%s) file size 0\n", kModule, path.c_str());
    errno = error;
    ready = false;
    return false;
}

bool ImageInfo::isValid() {
    std::string why;
    if (!checkLayout(why)) {
        if (!why.empty()) {
            debugLog("%s : %s %s\n", kModule, fileName.c_str(), why.c_str());
        }
        return false;
    }
    return true;
}

bool ImageInfo::checkLayout(std::string& why) const {
    why.clear();
    if (!ready || !loaded) {
        return false;
    }
    const uint32_t start0 = mbr.getStartSector(0);
    const uint32_t end0 = mbr.getEndSector(0);
    const uint32_t start1 = mbr.getStartSector(1);
    const uint32_t end1 = mbr.getEndSector(1);
    if (!(start0 < end0)) {
        why = formatText("partition 0 start sector (%ld) over end sector (%ld)",
                         static_cast<long>(start0), static_cast<long>(end0));
    } else if (!(end0 <= start1)) {
        why = formatText("partition 0 end sector (%ld) over partition 1 start sector (%ld)",
                         static_cast<long>(end0), static_cast<long>(start1));
    } else if (!(start1 < end1)) {
        why = formatText("partition 1 start sector (%ld) over end sector (%ld)",
                         static_cast<long>(start1), static_cast<long>(end1));
    } else if (static_cast<uint64_t>(fileSize) < static_cast<uint64_t>(end1) * kSectorSize) {
        why = formatText("file size too small %I64d calc size %I64d",
                         static_cast<long long>(fileSize),
                         static_cast<long long>(static_cast<uint64_t>(end1) * kSectorSize));
    } else {
        why = mbr.rootEntryProblem();
    }
    return why.empty();
}

uint64_t ImageInfo::getRootOffset() {
    if (!isValid()) {
        return 0;
    }
    return static_cast<uint64_t>(mbr.getStartSector(1)) * kSectorSize;
}

uint64_t ImageInfo::getRootSize() {
    if (!isValid()) {
        return 0;
    }
    const uint32_t sectors = mbr.getEndSector(1) - mbr.getStartSector(1);
    return static_cast<uint64_t>(sectors) * kSectorSize;
}

bool ImageInfo::loadMbr() {
    if (!ready) {
        debugLog("%s : invalid\n", kModule);
        return false;
    }
    FILE* file = std::fopen(fileName.c_str(), "rb");
    if (file == nullptr) {
        debugLog("%s : fopen error %s\n", kModule, fileName.c_str());
        return false;
    }
    // Read aside so that a short read leaves the previous sector in place.
    MbrInfo sector;
    const bool whole = std::fread(sector.data(), sector.size(), 1, file) == 1;
    if (whole) {
        mbr = sector;
        loaded = true;
    } else {
        debugLog("%s : fread error\n", kModule);
    }
    std::fclose(file);
    return whole;
}

void ImageInfo::useMbr(const MbrInfo& sector, int64_t size, const std::string& name) {
    if (!name.empty()) {
        fileName = name;
    }
    mbr = sector;
    fileSize = size;
    ready = size > 0;
    loaded = true;
}

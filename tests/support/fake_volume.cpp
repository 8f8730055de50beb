#include <cstring>
#include <filesystem>

#include "common/common.h"
#include "tests/support/fake_platform.h"
#include "update/volume.h"

namespace volume {

bool absolutePath(char* out, const char* path) {
    if (fakeplatform::volume().absolutePathFails) {
        out[0] = '\0';
        return false;
    }
    std::error_code ec;
    const std::string abs = std::filesystem::absolute(path, ec).string();
    if (ec || abs.size() >= kPathMax) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, abs.c_str(), abs.size() + 1);
    return true;
}

void rootOf(char* out, size_t size, const char* absPath) {
    formatString(out, size, "%c:\\", absPath[0]);
}

uint64_t largestFile(const char*) {
    return fakeplatform::volume().largestFile;
}

size_t longestPath() {
    return fakeplatform::volume().longestPath;
}

bool freeSpace(const char*, uint64_t& available, uint64_t& total, uint64_t& totalFree) {
    const fakeplatform::Volume& v = fakeplatform::volume();
    if (v.onFreeSpace) {
        v.onFreeSpace();
    }
    if (v.freeSpaceFails) {
        return false;
    }
    available = v.available;
    total = v.total;
    totalFree = v.totalFree;
    return true;
}

}  // namespace volume

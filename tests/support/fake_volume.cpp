#include <filesystem>

#include "common/common.h"
#include "tests/support/fake_platform.h"
#include "update/volume.h"

namespace volume {

bool absolutePath(std::string& out, const char* path) {
    std::error_code ec;
    out = fakeplatform::volume().absolutePathFails ? std::string()
                                                   : std::filesystem::absolute(path, ec).string();
#ifdef _WIN32
    if (out.size() >= 260) {  // as _fullpath into a MAX_PATH buffer
        out.clear();
    }
#endif
    return !ec && !out.empty();
}

std::string rootOf(const std::string& absPath) {
    return std::string(1, absPath[0]) + ":\\";
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

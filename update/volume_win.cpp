#include "update/volume.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "common/common.h"

namespace volume {

bool absolutePath(char* out, const char* path) {
    out[0] = '\0';
    ::_fullpath(out, path, kPathMax);
    return out[0] != '\0';
}

void rootOf(char* out, size_t size, const char* absPath) {
    const char* slash = std::strrchr(absPath, '\\');
    const char* forward = std::strrchr(absPath, '/');
    if (forward != nullptr && (slash == nullptr || forward > slash)) {
        slash = forward;
    }
    const size_t length = slash != nullptr ? static_cast<size_t>(slash - absPath) + 1 : 0;
    formatString(out, size, "%.*s", static_cast<int>(length), absPath);
}

uint64_t largestFile(const char* root) {
    char volumeRoot[kPathMax];
    char system[32];
    if (!::GetVolumePathNameA(root, volumeRoot, sizeof volumeRoot) ||
        !::GetVolumeInformationA(volumeRoot, nullptr, 0, nullptr, nullptr, nullptr, system,
                                 sizeof system)) {
        return 0;  // unknown: the unpacking's own write failure will tell
    }
    return std::strncmp(system, "FAT", 3) == 0 ? 0xffffffffull : 0;
}

size_t longestPath() {
    return MAX_PATH - 1;
}

bool freeSpace(const char* root, uint64_t& available, uint64_t& total, uint64_t& totalFree) {
    ULARGE_INTEGER a, t, f;
    if (!::GetDiskFreeSpaceExA(root, &a, &t, &f)) {
        return false;
    }
    available = a.QuadPart;
    total = t.QuadPart;
    totalFree = f.QuadPart;
    return true;
}

}  // namespace volume

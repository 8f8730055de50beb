#include "update/volume.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "common/common.h"

namespace volume {

bool absolutePath(std::string& out, const char* path) {
    char buffer[MAX_PATH];
    buffer[0] = '\0';
    ::_fullpath(buffer, path, sizeof buffer);
    out = buffer;
    return !out.empty();
}

std::string rootOf(const std::string& absPath) {
    const size_t slash = absPath.find_last_of("\\/");
    return slash != std::string::npos ? absPath.substr(0, slash + 1) : std::string();
}

uint64_t largestFile(const char* root) {
    char volumeRoot[MAX_PATH];
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

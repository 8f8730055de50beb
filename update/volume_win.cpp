#include "update/volume.h"

#include <windows.h>

#include <cstdlib>

#include "common/common.h"

namespace volume {

bool absolutePath(char* out, const char* path) {
    out[0] = '\0';
    ::_fullpath(out, path, kPathMax);
    return out[0] != '\0';
}

void rootOf(char* out, size_t size, const char* absPath) {
    formatString(out, size, "%c:\\", absPath[0]);
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

#include "update/volume.h"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace volume {

bool absolutePath(std::string& out, const char* path) {
    // realpath() would need the file to exist; only the directory must.
    if (path[0] == '/') {
        out = path;
        return true;
    }
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) {
        return false;
    }
    out = std::string(cwd) + "/" + path;
    std::free(cwd);
    return true;
}

std::string rootOf(const std::string& absPath) {
    const size_t slash = absPath.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : absPath.substr(0, slash);
}

// vfat and msdos: FAT file systems hold no file of 4 GiB or more.
uint64_t largestFile(const char* root) {
    struct statfs st;
    return ::statfs(root, &st) == 0 && st.f_type == MSDOS_SUPER_MAGIC ? 0xffffffffull : 0;
}

size_t longestPath() {
    return PATH_MAX - 1;
}

bool freeSpace(const char* root, uint64_t& available, uint64_t& total, uint64_t& totalFree) {
    struct statvfs st;
    if (::statvfs(root, &st) != 0) {
        return false;
    }
    available = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    total = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
    totalFree = static_cast<uint64_t>(st.f_bfree) * st.f_frsize;
    return true;
}

}  // namespace volume

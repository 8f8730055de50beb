// The two questions the update job asks of the file system where the
// temporary file will live; one implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace volume {

// Absolute form of path; false when it cannot be had (on Windows also when
// it would be longer than MAX_PATH).
bool absolutePath(std::string& out, const char* path);
// The folder that holds absPath, as the free-space query takes it (with a
// trailing backslash on Windows, so that a UNC share or a folder that is
// another volume's mount point answers for itself).
std::string rootOf(const std::string& absPath);
// Bytes available to the caller, total bytes and total free bytes.
bool freeSpace(const char* root, uint64_t& available, uint64_t& total, uint64_t& totalFree);
// The largest file the file system at root can hold; 0 for no limit that
// matters here (FAT32 holds no file of 4 GiB or more).
uint64_t largestFile(const char* root);
// The longest path the system opens (259 characters on Windows, PATH_MAX
// less its terminator on Linux).
size_t longestPath();

}  // namespace volume

// The two questions the update job asks of the file system where the
// temporary file will live; one implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace volume {

constexpr size_t kPathMax = 260;

// Absolute form of path into out (kPathMax bytes); false when it cannot be had.
bool absolutePath(char* out, const char* path);
// The volume root that holds absPath, as the free-space query takes it
// ("E:\" on Windows, the containing directory elsewhere).
void rootOf(char* out, size_t size, const char* absPath);
// Bytes available to the caller, total bytes and total free bytes.
bool freeSpace(const char* root, uint64_t& available, uint64_t& total, uint64_t& totalFree);

}  // namespace volume

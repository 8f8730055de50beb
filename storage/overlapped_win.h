// Positions a synchronous ReadFile or WriteFile: the offset travels in the
// OVERLAPPED block, so no call leaves a file position for the next one.
// Windows only; shared by the raw-storage calls and the test build's drives.
#pragma once

#include <windows.h>

#include <cstdint>

namespace rawdevice {

inline OVERLAPPED overlappedAt(uint64_t offset) {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset & 0xffffffffu);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

}  // namespace rawdevice

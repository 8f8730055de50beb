// POSIX has no drive letters: every volume lookup fails, so naming a drive
// is refused by DeviceInfo with its usual log line and no drive is listed.
#include "storage/rawdevice.h"

#include <cstdio>

namespace rawdevice {

Handle openVolume(const char*, bool) {
    return kInvalidHandle;
}
bool getDiskExtents(Handle, uint32_t&, int32_t&) {
    return false;
}
bool getDriveGeometry(Handle, DriveGeometry&) {
    return false;
}
Handle openPhysicalDrive(const char*) {
    return kInvalidHandle;
}
// A device node (or any file) given as the job's target is written as is.
FILE* openForCopy(const char* physicalDrivePath) {
    return std::fopen(physicalDrivePath, "rb+");
}
bool readFile(Handle, void*, uint32_t, uint32_t& bytesRead) {
    bytesRead = 0;
    return false;
}
// No volume is ever opened here, so there is none to lock.
bool lockVolume(Handle) {
    return false;
}
bool dismountVolume(Handle) {
    return false;
}
void closeHandle(Handle) {}
uint32_t logicalDrives() {
    return 0;
}
uint32_t driveType(const char*) {
    return 0;
}

}  // namespace rawdevice

#include <windows.h>

#include <cstdio>

#include "cli/carddevice.h"
#include "storage/deviceinfo.h"

int listCards() {
    DriveList drives;
    const char* letters = drives.getRemovableDrives();
    if (letters[0] == '\0') {
        std::fprintf(stderr, "no card readers' drives\n");
    }
    for (const char* p = letters; *p != '\0'; ++p) {
        std::printf("%c:\n", *p);
    }
    return kExitOk;
}

// Windows names cards by drive letter (--drive).
int prepareDevice(const ApplyOptions&) {
    std::fprintf(stderr, "qlupdate: --device names a Linux block device; use --drive E: here\n");
    return kExitUsage;
}

// No loop devices; Windows shares image files as its own locks allow.
int prepareImage(const ApplyOptions&) {
    return kExitOk;
}

// No loop devices mount an image here.
int checkCardImage(const std::string&, uint64_t, uint64_t) {
    return kExitOk;
}

// Volumes are locked and dismounted for the write and mount again after it.
void reportUnmounted() {}

const char* const kCardOption = "--drive";

// The runtime keeps its standard descriptors whether or not handles stand
// behind them, so a file opened later never takes their numbers.
void startPlatform() {
    ::SetErrorMode(SEM_FAILCRITICALERRORS);
}

void keepAwake(bool on) {
    ::SetThreadExecutionState(on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

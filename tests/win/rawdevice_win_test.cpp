// The product's raw-storage calls (storage/rawdevice_win.cpp itself) as Wine
// refuses them: each failure logs the system's code and text on a line of
// its own, right before the line of the caller, if it has one.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "storage/deviceinfo.h"
#include "storage/rawdevice.h"
#include "tests/support/testutil.h"

namespace {

using testutil::captureLog;

TEST(RawDeviceWin, FailedCallsNameTheSystemReason) {
    // No volume Q: and no disk 77 exist in the test prefix.
    const std::string open = captureLog([] {
        DeviceInfo device;
        EXPECT_FALSE(device.setName("Q:"));
        EXPECT_EQ(rawdevice::openPhysicalDrive("\\\\.\\PHYSICALDRIVE77"),
                  rawdevice::kInvalidHandle);
    });
    const size_t at = open.find("deviceinfo : CreateFileA \\\\.\\Q: system error 2: ");
    ASSERT_NE(at, std::string::npos) << open;
    EXPECT_EQ(open.find("\ndeviceinfo : Could not open physical drive \\\\.\\Q:\n", at),
              open.find('\n', at))
        << open;
    EXPECT_NE(open.find("deviceinfo : CreateFileA \\\\.\\PHYSICALDRIVE77 system error "),
              std::string::npos)
        << open;

    // A handle without read access, and a plain file that is no volume.
    testutil::TempDir dir;
    const std::string path = dir.file("plain.bin");
    testutil::writeFile(path, std::vector<uint8_t>(512, 0));
    const HANDLE writeOnly = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const rawdevice::Handle file = rawdevice::openPhysicalDrive(path.c_str());
    ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
    ASSERT_NE(file, rawdevice::kInvalidHandle);
    char buffer[512];
    uint32_t got = 1, extents = 0;
    int32_t disk = -1;
    const std::string calls = captureLog([&] {
        EXPECT_FALSE(rawdevice::readFile(reinterpret_cast<rawdevice::Handle>(writeOnly), buffer,
                                         sizeof buffer, got));
        EXPECT_FALSE(rawdevice::getDiskExtents(file, extents, disk));
    });
    ::CloseHandle(writeOnly);
    rawdevice::closeHandle(file);
    EXPECT_NE(calls.find("deviceinfo : ReadFile system error 5: "), std::string::npos) << calls;
    EXPECT_NE(calls.find("deviceinfo : IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS system error "),
              std::string::npos)
        << calls;
}

}  // namespace

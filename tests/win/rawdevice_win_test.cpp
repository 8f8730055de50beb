// The product's raw-storage calls under Wine, where the system refuses them:
// each failure logs the system's reason on a line of its own, right before
// the line that says what failed. Links storage/rawdevice_win.cpp itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "storage/deviceinfo.h"
#include "storage/rawdevice.h"
#include "tests/support/testutil.h"

namespace {

using testutil::captureLog;

// The line that begins with head, up to its end; "" when none.
std::string lineOf(const std::string& log, const std::string& head) {
    const size_t at = log.find(head);
    return at == std::string::npos ? std::string() : log.substr(at, log.find('\n', at) - at);
}

TEST(RawDeviceWin, OpenFailuresNameTheSystemReason) {
    // No volume and no disk of these names exist in the test prefix.
    DeviceInfo device;
    const std::string log = captureLog([&] { EXPECT_FALSE(device.setName("Q:")); });
    const std::string system = lineOf(log, "deviceinfo : CreateFileA \\\\.\\Q: system error ");
    EXPECT_FALSE(system.empty()) << log;
    EXPECT_NE(log.find(system + "\ndeviceinfo : Could not open physical drive \\\\.\\Q:\n"),
              std::string::npos)
        << log;

    const std::string drive = captureLog([] {
        EXPECT_EQ(rawdevice::openPhysicalDrive("\\\\.\\PHYSICALDRIVE77"),
                  rawdevice::kInvalidHandle);
    });
    EXPECT_FALSE(
        lineOf(drive, "deviceinfo : CreateFileA \\\\.\\PHYSICALDRIVE77 system error ").empty())
        << drive;
}

TEST(RawDeviceWin, ReadAndControlFailuresNameTheSystemReason) {
    testutil::TempDir dir;
    const std::string path = dir.file("plain.bin");
    testutil::writeFile(path, std::vector<uint8_t>(4096, 0));

    // A handle without read access: ReadFile is refused with access denied.
    const HANDLE writeOnly = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
    char buffer[512];
    uint32_t got = 1;
    const std::string read = captureLog([&] {
        EXPECT_FALSE(rawdevice::readFile(reinterpret_cast<rawdevice::Handle>(writeOnly), buffer,
                                         sizeof buffer, got));
    });
    ::CloseHandle(writeOnly);
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(lineOf(read, "deviceinfo : ReadFile system error 5: ").empty()) << read;

    // A plain file is no volume: the volume's disk query is refused.
    const rawdevice::Handle file = rawdevice::openPhysicalDrive(path.c_str());
    ASSERT_NE(file, rawdevice::kInvalidHandle);
    uint32_t extents = 0;
    int32_t disk = -1;
    const std::string control =
        captureLog([&] { EXPECT_FALSE(rawdevice::getDiskExtents(file, extents, disk)); });
    rawdevice::closeHandle(file);
    EXPECT_FALSE(
        lineOf(control, "deviceinfo : IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS system error ").empty())
        << control;
}

}  // namespace

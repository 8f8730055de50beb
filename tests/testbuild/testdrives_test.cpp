// The drives of QuillonUpdateTest.exe: image files named by
// QUILLON_TEST_DRIVES, seen through the drive model the program uses.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "storage/deviceinfo.h"
#include "storage/rawdevice.h"
#include "tests/support/testutil.h"

namespace {

using testutil::countOf;

void setDrives(const std::string* value) {
    ::SetEnvironmentVariableA("QUILLON_TEST_DRIVES", value != nullptr ? value->c_str() : nullptr);
}

class TestDrivesTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Root partitions at different places tell the two cards apart.
        testutil::makeCardImage(first, {{8, 24, 0x0c, 0x80}, {32, 64}}, 128 * 512, 1);
        testutil::makeCardImage(second, {{8, 24, 0x0c, 0x80}, {40, 80}}, 160 * 512, 2);
        const std::string drives = "E=" + first + ";G=" + second + ";K=" + dir.file("none.img");
        setDrives(&drives);
    }
    void TearDown() override { setDrives(nullptr); }

    testutil::TempDir dir;
    const std::string first = dir.file("first.img");
    const std::string second = dir.file("second.img");
};

TEST_F(TestDrivesTest, ListsExactlyTheNamedLettersAsRemovable) {
    DriveList list;
    EXPECT_STREQ(list.getRemovableDrives(), "EGK");
    const std::string other = "k=" + first + ";;junk;B=" + second;
    setDrives(&other);
    EXPECT_STREQ(list.getRemovableDrives(), "BK");
    setDrives(nullptr);
    EXPECT_STREQ(list.getRemovableDrives(), "");
}

TEST_F(TestDrivesTest, LetterResolvesToThePhysicalDriveAtItsPosition) {
    for (int n = 0; n < 2; ++n) {
        SCOPED_TRACE(n);
        const uint32_t rootStart = n == 0 ? 32 : 40;
        bool loaded = false;
        DeviceInfo device;
        const std::string log = testutil::captureLog(
            [&] { loaded = device.setName(n == 0 ? "E:" : "g") && device.loadMbr(); });
        EXPECT_TRUE(loaded) << log;
        EXPECT_EQ(device.getName(), "\\\\.\\PHYSICALDRIVE" + std::to_string(n));
        EXPECT_EQ(device.getRootOffset(), rootStart * 512u);
        EXPECT_EQ(countOf(log, "disk size " + std::to_string(n == 0 ? 65536 : 81920) + "\n"), 1);
        EXPECT_EQ(countOf(log, "bytes per sector 512\nPartition MBR\n"), 1) << log;
    }
}

// Beyond 4 GiB the size must not wrap (sparse, so the file costs nothing).
TEST_F(TestDrivesTest, DiskSizeIsTheImageSizeInSixtyFourBits) {
    const HANDLE h = ::CreateFileA(first.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = (5ll << 30) + 512;
    const bool grown = ::SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
    ::CloseHandle(h);
    ASSERT_TRUE(grown);
    const std::string log = testutil::captureLog([] { DeviceInfo device("E:"); });
    EXPECT_EQ(countOf(log, "disk size 5368709632\n"), 1) << log;
}

// A drive whose image is missing is offered but cannot be used, like a
// letter the variable does not name.
TEST_F(TestDrivesTest, LetterWithoutImageOrNotNamedCannotBeOpened) {
    for (const char* drive : {"K:", "F:"}) {
        bool ready = true;
        const std::string log = testutil::captureLog([&] { ready = DeviceInfo(drive).isReady(); });
        EXPECT_FALSE(ready) << drive;
        EXPECT_EQ(countOf(log, std::string("Could not open physical drive \\\\.\\") + drive), 1)
            << log;
    }
    EXPECT_EQ(rawdevice::openForCopy("\\\\.\\PHYSICALDRIVE2"), nullptr);
    EXPECT_EQ(rawdevice::openForCopy("\\\\.\\PHYSICALDRIVE3"), nullptr);
    EXPECT_EQ(rawdevice::openForCopy(first.c_str()), nullptr);
}

// "|locked" makes a drive whose volume refuses the lock; it is still the
// same image, listed and readable.
TEST_F(TestDrivesTest, LockedSuffixRefusesOnlyTheLock) {
    const std::string drives = "E=" + first + ";G=" + second + "|locked";
    setDrives(&drives);
    DriveList list;
    EXPECT_STREQ(list.getRemovableDrives(), "EG");
    DeviceInfo device;
    const std::string log =
        testutil::captureLog([&] { EXPECT_TRUE(device.setName("G:") && device.loadMbr()); });
    EXPECT_EQ(device.getRootOffset(), 40 * 512u) << log;

    UnmountDrive locked('G');
    UnmountDrive free('E');
    EXPECT_EQ(countOf(testutil::captureLog([&] { EXPECT_FALSE(locked.unmount()); }),
                      "Unmount Could not lock volume \\\\.\\G:\n"),
              1);
    EXPECT_TRUE(free.unmount());
}

// The progress dialog locks the volume before the job copies: the copy must
// still reach the image while the lock is held.
TEST_F(TestDrivesTest, CopyStreamWritesTheImageWhileTheVolumeIsLocked) {
    UnmountDrive unmount('G');
    ASSERT_TRUE(unmount.unmount());
    const std::vector<uint8_t> bytes = testutil::patternBytes(4096, 7);
    FILE* f = rawdevice::openForCopy("\\\\.\\PHYSICALDRIVE1");
    ASSERT_NE(f, nullptr);
    const bool written = std::fseek(f, 40 * 512, SEEK_SET) == 0 &&
                         std::fwrite(bytes.data(), bytes.size(), 1, f) == 1;
    EXPECT_EQ(std::fclose(f), 0);
    unmount.close();
    ASSERT_TRUE(written);
    const std::vector<uint8_t> image = testutil::readFile(second);
    ASSERT_EQ(image.size(), 160u * 512);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin() + 40 * 512));
}

}  // namespace

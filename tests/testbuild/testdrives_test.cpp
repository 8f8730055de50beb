// The drives of QuillonUpdateTest.exe: image files named by
// QUILLON_TEST_DRIVES, seen through the drive model the program uses.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "storage/deviceinfo.h"
#include "storage/rawdevice.h"
#include "tests/support/testutil.h"

namespace {

using testutil::countOf;

void setDrives(const char* value) {
    ::SetEnvironmentVariableA("QUILLON_TEST_DRIVES", value);
}

class TestDrivesTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Root partitions at different places tell the two cards apart.
        testutil::makeCardImage(first, {{8, 24, 0x0c, 0x80}, {32, 64}}, 128 * 512, 1);
        testutil::makeCardImage(second, {{8, 24, 0x0c, 0x80}, {40, 80}}, 160 * 512, 2);
        drives = "E=" + first + ";G=" + second + ";K=" + dir.file("missing.img");
        setDrives(drives.c_str());
    }
    void TearDown() override { setDrives(nullptr); }

    testutil::TempDir dir;
    const std::string first = dir.file("first.img");
    const std::string second = dir.file("second.img");
    std::string drives;
};

TEST_F(TestDrivesTest, ListsExactlyTheNamedLettersAsRemovable) {
    DriveList list;
    EXPECT_STREQ(list.getRemovableDrives(), "EGK");
    setDrives(("k=" + first + ";;junk;B=" + second).c_str());
    EXPECT_STREQ(list.getRemovableDrives(), "BK");
    setDrives(nullptr);
    EXPECT_STREQ(list.getRemovableDrives(), "");
}

TEST_F(TestDrivesTest, LetterResolvesToThePhysicalDriveAtItsPosition) {
    struct Case {
        const char* drive;
        const char* name;
        uint64_t rootOffset;
        uint64_t rootSize;
        const char* sizeLine;
    };
    const Case cases[] = {
        {"E:", "\\\\.\\PHYSICALDRIVE0", 32 * 512, 64 * 512, "disk size 65536\n"},
        {"g", "\\\\.\\PHYSICALDRIVE1", 40 * 512, 80 * 512, "disk size 81920\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drive);
        bool loaded = false;
        std::unique_ptr<DeviceInfo> device;
        const std::string log = testutil::captureLog([&] {
            device = std::make_unique<DeviceInfo>(c.drive);
            loaded = device->loadMbr();
        });
        EXPECT_TRUE(device->isReady()) << log;
        EXPECT_EQ(device->getName(), c.name);
        EXPECT_TRUE(loaded) << log;
        EXPECT_TRUE(device->isValid());
        EXPECT_EQ(device->getRootOffset(), c.rootOffset);
        EXPECT_EQ(device->getRootSize(), c.rootSize);
        EXPECT_EQ(countOf(log, c.sizeLine), 1) << log;
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

// A drive whose image is missing is offered but cannot be used; letters
// not in the variable do not exist.
TEST_F(TestDrivesTest, LetterWithoutImageOrNotNamedCannotBeOpened) {
    for (const char* drive : {"K:", "F:"}) {
        SCOPED_TRACE(drive);
        bool ready = true;
        const std::string log = testutil::captureLog([&] { ready = DeviceInfo(drive).isReady(); });
        EXPECT_FALSE(ready);
        EXPECT_EQ(countOf(log, std::string("deviceinfo : Could not open physical drive \\\\.\\") +
                                   drive[0] + ":\n"),
                  1)
            << log;
        UnmountDrive unmount(drive[0]);
        testutil::captureLog([&] { EXPECT_FALSE(unmount.unmount()); });
    }
    EXPECT_EQ(rawdevice::openForCopy("\\\\.\\PHYSICALDRIVE2"), nullptr);
    EXPECT_EQ(rawdevice::openForCopy("\\\\.\\PHYSICALDRIVE3"), nullptr);
    EXPECT_EQ(rawdevice::openForCopy(first.c_str()), nullptr);
    EXPECT_EQ(rawdevice::openPhysicalDrive("\\\\.\\PHYSICALDRIVE0x"), rawdevice::kInvalidHandle);
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
    EXPECT_EQ(testutil::readFile(first).size(), 128u * 512);
}

}  // namespace

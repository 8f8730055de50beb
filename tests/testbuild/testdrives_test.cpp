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
    for (const std::string& path :
         {std::string("\\\\.\\PHYSICALDRIVE2"), std::string("\\\\.\\PHYSICALDRIVE3"), first}) {
        EXPECT_EQ(rawdevice::openDisk(path.c_str()), rawdevice::kInvalidHandle) << path;
    }
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

// The model as Windows documents it: a write into a mounted file system
// is refused until its volume is locked, and a disk's number passes to
// another disk once the first has been opened (swap=).
TEST_F(TestDrivesTest, DiskHandleWritesOnlyWhereWindowsAllowsIt) {
    const std::string drives = "E=" + first + ";G=" + second + "|rootfs|swap=" + first;
    setDrives(&drives);
    const rawdevice::Handle disk = rawdevice::openDisk("\\\\.\\PHYSICALDRIVE1");
    ASSERT_NE(disk, rawdevice::kInvalidHandle);
    alignas(4096) static uint8_t bytes[4096];
    std::fill(bytes, bytes + sizeof bytes, uint8_t{7});
    EXPECT_FALSE(rawdevice::writeAt(disk, 40 * 512, bytes, sizeof bytes));
    EXPECT_EQ(rawdevice::lastError().fault, rawdevice::Fault::AccessDenied);
    const std::vector<rawdevice::DiskVolume> volumes = rawdevice::volumesOnDisk(1);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].letters, "G");
    EXPECT_EQ(volumes[1].extents[0].offset, 40 * 512u);
    const rawdevice::Handle root = rawdevice::openVolume(volumes[1].path.c_str(), true);
    ASSERT_TRUE(rawdevice::lockVolume(root));
    EXPECT_TRUE(rawdevice::writeAt(disk, 40 * 512, bytes, sizeof bytes));
    rawdevice::closeHandle(root);
    // Opened again by its number, the disk is now the other image (first's MBR).
    const rawdevice::Handle renumbered = rawdevice::openDisk("\\\\.\\PHYSICALDRIVE1");
    alignas(4096) static uint8_t sector[512];
    EXPECT_TRUE(rawdevice::readAt(renumbered, 0, sector, sizeof sector));
    rawdevice::closeHandle(renumbered);
    rawdevice::closeHandle(disk);
    const std::vector<uint8_t> firstImage = testutil::readFile(first);
    EXPECT_TRUE(std::equal(sector, sector + sizeof sector, firstImage.begin()));
    const std::vector<uint8_t> image = testutil::readFile(second);
    EXPECT_TRUE(std::equal(bytes, bytes + sizeof bytes, image.begin() + 40 * 512));
}

// An unbuffered raw disk moves whole sectors at sector offsets through
// sector-aligned memory, and refuses anything else with
// ERROR_INVALID_PARAMETER; a 4096-byte-sector disk so too.
TEST_F(TestDrivesTest, DiskHandleMovesOnlyWholeAlignedSectors) {
    alignas(4096) static uint8_t buffer[8192];
    struct Case {
        const char* flags;
        uint64_t offset;
        size_t shift;  // of the buffer's address
        uint32_t length;
        bool moves;
    };
    const Case cases[] = {
        {"", 512, 0, 1024, true},
        {"", 100, 0, 512, false},
        {"", 512, 8, 512, false},
        {"", 512, 0, 100, false},
        {"|sector=4096", 4096, 0, 4096, true},
        {"|sector=4096", 512, 0, 4096, false},
        {"|sector=4096", 4096, 512, 4096, false},
        {"|sector=4096", 4096, 0, 512, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.flags) + " " + std::to_string(c.offset + c.shift + c.length));
        const std::string drives = "E=" + first + c.flags;
        setDrives(&drives);
        const rawdevice::Handle disk = rawdevice::openDisk("\\\\.\\PHYSICALDRIVE0");
        ASSERT_NE(disk, rawdevice::kInvalidHandle);
        EXPECT_EQ(rawdevice::readAt(disk, c.offset, buffer + c.shift, c.length), c.moves);
        EXPECT_EQ(rawdevice::writeAt(disk, c.offset, buffer + c.shift, c.length), c.moves);
        EXPECT_EQ(rawdevice::lastError().text.rfind("system error 87", 0) == 0, !c.moves)
            << rawdevice::lastError().text;
        rawdevice::closeHandle(disk);
        rawdevice::clearLastError();
    }
}

}  // namespace

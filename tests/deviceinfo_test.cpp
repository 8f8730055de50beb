#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <tuple>

#include "storage/deviceinfo.h"
#include "storage/imageinfo.h"
#include "tests/support/fake_platform.h"
#include "tests/support/testutil.h"

using testutil::captureLog;

namespace {

using Bytes = std::vector<uint8_t>;
using fakeplatform::Disk;

TEST(MbrInfo, IndexesOutsideTheTableReadNothing) {
    MbrInfo mbr;
    const Bytes bytes = testutil::makeMbr({{1, 2}, {3, 4}, {5, 6}, {7, 8}});
    std::copy(bytes.begin(), bytes.end(), mbr.data());
    for (const int index : {-1, 4, 1 << 28}) {
        EXPECT_EQ(mbr.getStartSector(index), 0u);
        EXPECT_EQ(mbr.getEndSector(index), 0u);
    }
    EXPECT_EQ(mbr.getMaxEndSector(), 15u);
}

// Drive F: a card with boot and root partitions, on physical drive 3.
class DeviceInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeplatform::reset();
        Bytes mbr = testutil::makeMbr({{2048, 16384, 0x0c, 0x80}, {18432, 2000000}, {2018432, 10}});
        // CHS fields of entry 1, shown only in the dump.
        const uint8_t chs[] = {0x01, 0x02, 0x03, 0x83, 0xFE, 0xFF, 0xFF};
        std::copy(std::begin(chs), std::end(chs), mbr.begin() + 462 + 1);
        testutil::writeFile(card, mbr);
        disk.backingFile = card;
        disk.diskNumber = 3;
        disk.diskSize = 50331648;
        fakeplatform::addDrive('F', disk);
    }
    void TearDown() override {
        EXPECT_EQ(fakeplatform::openHandles(), 0) << "a handle was left open";
        fakeplatform::reset();
    }

    std::unique_ptr<DeviceInfo> make(const std::string& drive, std::string* log = nullptr) {
        std::unique_ptr<DeviceInfo> device;
        const std::string text = captureLog([&] { device = std::make_unique<DeviceInfo>(drive); });
        if (log != nullptr) {
            *log = text;
        }
        return device;
    }

    testutil::TempDir dir;
    const std::string card = dir.file("card.img");
    Disk disk;
};

TEST_F(DeviceInfoTest, EveryFormOfTheDriveStringNamesTheSameDrive) {
    // clang-format off
    const std::string geometry =
        "disk size 50331648\n" "cylinders 6\n" "media type 11\n" "tracks per cylinder 255\n"
        "sectors per track 63\n" "bytes per sector 512\n" "Partition MBR\nSignature: 305419896\n"
        "detection type: 0\n" "DetectNone\n";
    // clang-format on
    for (const std::string drive : {"F", "F:", "F:\\"}) {
        SCOPED_TRACE(drive);
        std::string log;
        const auto device = make(drive, &log);
        EXPECT_EQ(log, "deviceinfo : construct drive " + drive + "\ndeviceinfo : setName (" +
                           drive + ")\ndeviceinfo : getDeviceNumber (" + drive +
                           ")\ndeviceinfo : getDeviceNumber handle name (\\\\.\\F:)\n" + geometry);
        EXPECT_TRUE(device->isReady());
        EXPECT_TRUE(device->isValid());
        EXPECT_EQ(device->getName(), "\\\\.\\PHYSICALDRIVE3");
    }
}

TEST_F(DeviceInfoTest, FourKiBSectorsScaleEveryByteValueButNotTheImage) {
    disk.bytesPerSector = 4096;
    fakeplatform::addDrive('F', disk);
    const auto device = make("F:");
    // A raw drive reads whole sectors only: one 4096-byte sector is read.
    std::filesystem::resize_file(card, 4096);
    const std::string log = captureLog([&] { EXPECT_TRUE(device->loadMbr()); });
    // clang-format off
    EXPECT_EQ(log.rfind("deviceinfo : device name \\\\.\\PHYSICALDRIVE3\n"
                        "deviceinfo : loadMbr read size 1000 / 1000\n"
                        "Mbr info\n" "partition 0\n" "\tboot flag 80\n" "\tpartition type c\n", 0),
              0u) << log;
    // The root partition ends past 4 GiB: the byte position needs 64 bits.
    EXPECT_NE(log.find("partition 1\n" "\tboot flag 0\n" "\tpartition type 83\n"
                       "\tstart CHS 197121\n" "\tend   CHS 16777214\n"
                       "\tstart LBA 18432\n" "\ttotal LBA 2000000\n"
                       "\tstart sector 18432\n" "\tend sector 2018432\n" "\tsector count 2000000\n"
                       "\ttotal size 8267497472B\n" "\ttotal size 7884MiB\n" "partition 2\n"),
              std::string::npos) << log;
    // clang-format on
    EXPECT_EQ(device->getRootOffset(), 18432ull * 4096);
    EXPECT_EQ(device->getRootSize(), 2000000ull * 4096);
    EXPECT_EQ(device->getSize(), 2018442ull * 4096);  // entry 2 ends last

    // The same sector in an image file is counted in 512-byte sectors.
    std::filesystem::resize_file(card, 2018442ull * 512);
    captureLog([&] {
        ImageInfo image(card);
        ASSERT_TRUE(image.loadMbr());
        EXPECT_EQ(image.getRootOffset(), 18432ull * 512);
        EXPECT_EQ(image.getRootSize(), 2000000ull * 512);
    });
}

TEST_F(DeviceInfoTest, OnlyAnMbrDiskIsValid) {
    const std::tuple<uint32_t, std::string, int32_t> cases[] = {
        {1, "Partition GPT\n", 1}, {2, "Partition RAW\n", 2}, {9, "Partition UNKNOWN\n", 3}};
    for (const auto& [style, line, stored] : cases) {
        SCOPED_TRACE(line);
        disk.partitionStyle = style;
        fakeplatform::addDrive('F', disk);
        std::string log;
        const auto device = make("F", &log);
        EXPECT_NE(log.find("bytes per sector 512\n" + line + "detection type: 0\n"),
                  std::string::npos)
            << log;
        EXPECT_TRUE(device->isReady());
        EXPECT_EQ(device->getPartitionStyle(), stored);
        // Even an MBR that would pass is not looked at.
        captureLog([&] { EXPECT_TRUE(device->loadMbr()); });
        EXPECT_FALSE(device->isValid());
        EXPECT_EQ(device->getRootOffset(), 0u);
        EXPECT_EQ(device->getRootSize(), 0u);
    }
}

using Change = std::function<void(Disk&)>;

TEST_F(DeviceInfoTest, RefusedDrivesKeepThePreviousName) {
    const std::string openFails = "deviceinfo : Could not open physical drive \\\\.\\G:\n";
    // clang-format off
    const std::tuple<const char*, Change, std::string, int32_t> cases[] = {
        {"volume does not open", [](Disk& d) { d.volumeOpens = false; }, openFails, 3},
        {"extents query fails",  [](Disk& d) { d.extentsFail = true; }, "", 3},
        {"volume on two disks",  [](Disk& d) { d.numberOfExtents = 2; }, "", 3},
        {"no extent",            [](Disk& d) { d.numberOfExtents = 0; }, "", 3},
        {"negative disk number", [](Disk& d) { d.diskNumber = -1; }, "", 3},
        // The disk number is taken before the geometry query fails.
        {"geometry query fails", [](Disk& d) { d.geometryFails = true; }, "", 7},
    };
    // clang-format on
    for (const auto& [what, change, extraLine, deviceNumber] : cases) {
        SCOPED_TRACE(what);
        const auto device = make("F");
        Disk other = disk;
        other.diskNumber = 7;
        change(other);
        fakeplatform::addDrive('G', other);
        bool named = true;
        const std::string log = captureLog([&] { named = device->setName("G:"); });
        EXPECT_FALSE(named);
        EXPECT_EQ(log,
                  "deviceinfo : setName (G:)\ndeviceinfo : getDeviceNumber (G:)\n"
                  "deviceinfo : getDeviceNumber handle name (\\\\.\\G:)\n" +
                      extraLine);
        EXPECT_FALSE(device->isReady());
        EXPECT_EQ(device->getName(), "\\\\.\\PHYSICALDRIVE3");
        EXPECT_EQ(device->getDeviceNumberValue(), deviceNumber);
    }
}

TEST_F(DeviceInfoTest, FailedMbrReadsKeepThePreviousSector) {
    std::unique_ptr<DeviceInfo> unnamed;
    EXPECT_EQ(captureLog([&] { unnamed = std::make_unique<DeviceInfo>(); }),
              "deviceinfo : construct\n");
    EXPECT_EQ(captureLog([&] { EXPECT_FALSE(unnamed->loadMbr()); }),
              "deviceinfo : device name \ndeviceinfo : Could not open physical device \n");

    const auto device = make("F");
    captureLog([&] { ASSERT_TRUE(device->loadMbr()); });
    const std::string shortFile = dir.file("short.img");
    testutil::writeFile(shortFile, Bytes(100, 0));
    // clang-format off
    const std::tuple<const char*, Change, std::string> cases[] = {
        {"read fails", [](Disk& d) { d.readFails = true; }, "loadMbr read size 0 / 200"},
        {"short read", [&](Disk& d) { d.backingFile = shortFile; }, "loadMbr read size 64 / 200"},
        {"drive does not open", [](Disk& d) { d.backingFile.clear(); },
         "Could not open physical device \\\\.\\PHYSICALDRIVE3"},
    };
    // clang-format on
    for (const auto& [what, change, line] : cases) {
        SCOPED_TRACE(what);
        Disk broken = disk;
        change(broken);
        fakeplatform::addDrive('F', broken);
        bool loaded = true;
        const std::string log = captureLog([&] { loaded = device->loadMbr(); });
        EXPECT_FALSE(loaded);
        EXPECT_EQ(log,
                  "deviceinfo : device name \\\\.\\PHYSICALDRIVE3\ndeviceinfo : " + line + "\n");
        EXPECT_TRUE(device->isValid());
        EXPECT_EQ(device->getRootOffset(), 18432u * 512);
        EXPECT_EQ(device->getRootSize(), 2000000ull * 512);
    }
}

class DriveServicesTest : public ::testing::Test {
protected:
    void SetUp() override { fakeplatform::reset(); }
    void TearDown() override { fakeplatform::reset(); }

    static void add(const char* letters, uint32_t type) {
        Disk d;
        d.driveType = type;
        for (const char* p = letters; *p != '\0'; ++p) {
            fakeplatform::addDrive(*p, d);
        }
    }
};

TEST_F(DriveServicesTest, OnlyRemovableDrivesFromAToY) {
    DriveList list;
    EXPECT_STREQ(list.getRemovableDrives(), "");
    add("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 2);
    EXPECT_STREQ(list.getRemovableDrives(), "ABCDEFGHIJKLMNOPQRSTUVWXY");

    fakeplatform::reset();
    add("AFYZ", 2);
    add("C", 3);  // fixed
    add("D", 5);  // optical
    add("E", 4);  // network
    EXPECT_STREQ(list.getRemovableDrives(), "AFY");

    // A reader that reports a fixed disk is offered when the disk is on a
    // card's bus, holds neither Windows nor the program, and on USB is no
    // larger than a card; asked without administrator rights, it stays.
    struct Fixed {
        char letter;
        uint32_t bus;
        bool system;
        uint64_t size = 0;
        bool program = false;
        bool adminOnly = false;
    };
    const uint64_t card = DriveList::kLargestCard;
    for (const Fixed& f :
         {Fixed{'G', 7, false}, Fixed{'H', 12, false}, Fixed{'J', 13, false}, Fixed{'K', 11, false},
          Fixed{'L', 7, true}, Fixed{'M', 7, false, card + 512}, Fixed{'N', 7, false, card},
          Fixed{'O', 12, false, card + 512}, Fixed{'Q', 7, false, 0, true},
          Fixed{'R', 7, false, 0, false, true}}) {
        Disk d;
        d.driveType = 3;
        d.busType = f.bus;
        d.holdsSystem = f.system;
        d.diskSize = f.size;
        d.holdsProgram = f.program;
        d.volumeOpens = !f.adminOnly;
        d.diskNumber = f.letter;
        fakeplatform::addDrive(f.letter, d);
    }
    EXPECT_STREQ(list.getRemovableDrives(), "AFGHJNORY");
    EXPECT_TRUE(list.offers("n:"));
    EXPECT_FALSE(list.offers("M:"));
    EXPECT_FALSE(list.offers(""));
    EXPECT_EQ(fakeplatform::openHandles(), 0);
}

TEST_F(DriveServicesTest, UnmountHoldsTheVolumeUntilClose) {
    add("F", 2);
    UnmountDrive never('F');
    never.close();
    UnmountDrive missing('Q');
    EXPECT_EQ(captureLog([&] { EXPECT_FALSE(missing.unmount()); }),
              "Unmount Could not open physical drive \\\\.\\Q:\n");
    missing.close();
    EXPECT_EQ(fakeplatform::lockCalls(), 0);
    EXPECT_EQ(fakeplatform::openHandles(), 0);

    {
        UnmountDrive drive('F');
        EXPECT_EQ(captureLog([&] { EXPECT_TRUE(drive.unmount()); }), "");
        EXPECT_EQ(fakeplatform::lockCalls(), 1);
        EXPECT_EQ(fakeplatform::dismountCalls(), 1);
        EXPECT_EQ(fakeplatform::openHandles(), 1);
        drive.close();
        EXPECT_EQ(fakeplatform::openHandles(), 0);

        EXPECT_TRUE(drive.unmount());
        EXPECT_TRUE(drive.unmount());
        EXPECT_EQ(fakeplatform::openHandles(), 1) << "a second unmount leaked the first handle";
    }
    EXPECT_EQ(fakeplatform::openHandles(), 0) << "destruction must release the volume";
}

// A volume in use must not be pulled away: no dismount without the lock, and
// nothing held that would let the caller think it has the volume.
TEST_F(DriveServicesTest, RefusedLockOrDismountIsAFailure) {
    const std::tuple<const char*, bool, std::string> cases[] = {
        {"lock refused", true, "Unmount Could not lock volume \\\\.\\F:\n"},
        {"dismount refused", false, "Unmount Could not dismount volume \\\\.\\F:\n"},
    };
    for (const auto& [what, lockRefused, line] : cases) {
        SCOPED_TRACE(what);
        fakeplatform::reset();
        Disk d;
        d.lockRefused = lockRefused;
        d.dismountRefused = !lockRefused;
        fakeplatform::addDrive('F', d);
        UnmountDrive drive('F');
        EXPECT_EQ(captureLog([&] { EXPECT_FALSE(drive.unmount()); }), line);
        EXPECT_EQ(fakeplatform::lockCalls(), 1);
        EXPECT_EQ(fakeplatform::dismountCalls(), 0);
        EXPECT_EQ(fakeplatform::openHandles(), 0) << "the refused volume stays open";
        drive.close();
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "storage/imageinfo.h"
#include "tests/support/testutil.h"

using testutil::captureLog;
using testutil::Entry;

namespace {

using Bytes = std::vector<uint8_t>;

// An image of size bytes (sparse) whose first sector is mbr.
void writeImage(const std::string& path, const Bytes& mbr, uint64_t size) {
    testutil::writeFile(path, mbr);
    std::filesystem::resize_file(path, size);
}

class ImageInfoTest : public ::testing::Test {
protected:
    // Loads path and checks the verdict, the root values and the log of the
    // three checks: ruleLine (after "imageinfo : <path> ") once per call.
    void expectLayout(const std::string& path, const std::string& ruleLine, uint64_t rootOffset,
                      uint64_t rootSize) {
        ImageInfo image;
        captureLog([&] {
            ASSERT_TRUE(image.setName(path));
            ASSERT_TRUE(image.loadMbr());
        });
        bool valid = false;
        uint64_t offset = 1;
        uint64_t size = 1;
        const std::string log = captureLog([&] {
            valid = image.isValid();
            offset = image.getRootOffset();
            size = image.getRootSize();
        });
        EXPECT_EQ(valid, ruleLine.empty());
        EXPECT_EQ(offset, rootOffset);
        EXPECT_EQ(size, rootSize);
        const std::string line = ruleLine.empty() ? "" : "imageinfo : " + path + " " + ruleLine;
        EXPECT_EQ(log, line + line + line);
    }

    testutil::TempDir dir;
};

TEST_F(ImageInfoTest, LayoutRuleOnHandMadeTables) {
    struct Case {
        const char* what;
        std::vector<Entry> entries;
        uint64_t size;
        std::string ruleLine;  // empty: valid, with partition 1 as the root
    };
    const uint64_t big = (10240ull + 8388608) * 512;  // a 4 GiB root ending past 4 GiB
    // clang-format off
    const Case cases[] = {
        {"all-zero table", {}, 8192, "partition 0 start sector (0) over end sector (0)\n"},
        {"root right after partition 0, image exactly long enough", {{1, 7}, {8, 8}}, 8192, ""},
        {"image one byte short", {{1, 7}, {8, 8}}, 8191,
         "file size too small 8191 calc size 8192\n"},
        {"root starts one sector early", {{1, 7}, {7, 9}}, 8192,
         "partition 0 end sector (8) over partition 1 start sector (7)\n"},
        {"empty root", {{1, 7}, {8, 0}}, 8192, "partition 1 start sector (8) over end sector (8)\n"},
        {"partition 0 wraps past 2^32", {{100, 0xFFFFFFFFu}, {200, 8}}, 208 * 512,
         "partition 0 start sector (100) over end sector (99)\n"},
        {"root wraps past 2^32", {{1, 7}, {4096, 0xFFFFF001u}}, 8192 * 512,
         "partition 1 start sector (4096) over end sector (1)\n"},
        {"entries 2 and 3 over the root", {{1, 7}, {8, 8}, {2, 0xFFFFFFF0u}, {0, 0xFFFFFFFFu}}, 8192,
         "partition 2 (sectors 2 to 4294967282) overlaps partition 1, the root (sectors 8 to 16), "
         "whose sectors the update overwrites\n"},
        {"entry 3 wrapping past 2^32 over the root", {{1, 7}, {8, 8}, {16, 8}, {12, 0xFFFFFFFFu}},
         8192, "partition 3 (sectors 12 to 4294967307) overlaps partition 1, the root (sectors 8 "
         "to 16), whose sectors the update overwrites\n"},
        {"entries 2 and 3 beside the root play no part", {{1, 7}, {8, 8}, {16, 8}, {1, 7}}, 8192, ""},
        {"an empty entry over the root plays no part", {{1, 7}, {8, 8}, {0, 100, 0x00}}, 8192, ""},
        {"root of type 00", {{1, 7}, {8, 8, 0x00}}, 8192,
         "partition 1, the root, has type 00: the entry is empty\n"},
        {"root of type 05", {{1, 7}, {8, 8, 0x05}}, 8192, "partition 1, the root, has type 05: it "
         "is an extended partition, which holds other partitions\n"},
        {"root of type 0F", {{1, 7}, {8, 8, 0x0F}}, 8192, "partition 1, the root, has type 0F: it "
         "is an extended partition, which holds other partitions\n"},
        {"root of type 85", {{1, 7}, {8, 8, 0x85}}, 8192, "partition 1, the root, has type 85: it "
         "is an extended partition, which holds other partitions\n"},
        {"root of type EE", {{1, 7}, {8, 8, 0xEE}}, 8192,
         "partition 1, the root, has type EE: it protects a GUID partition table (GPT)\n"},
        {"root past 4 GiB", {{2048, 8192}, {10240, 8388608}}, big, ""},
        {"root past 4 GiB, one byte short", {{2048, 8192}, {10240, 8388608}}, big - 1,
         "file size too small 4300210175 calc size 4300210176\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("card.img");
        // Only the tables with entries carry the 0x55AA signature; it is not examined.
        writeImage(path, testutil::makeMbr(c.entries, c.entries.size() == 2), c.size);
        const bool valid = c.ruleLine.empty();
        expectLayout(path, c.ruleLine, valid ? c.entries[1].start * 512ull : 0,
                     valid ? c.entries[1].count * 512ull : 0);
    }
}

TEST_F(ImageInfoTest, LayoutRuleOnTablesWrittenBySfdisk) {
    const std::string data = testutil::testDataDir();
    if (data.empty()) {
        GTEST_SKIP() << "QL_TEST_DATA not set";
    }
    expectLayout(data + "/sfdisk-card.img", "", 18432 * 512, 79872 * 512);
    expectLayout(data + "/sfdisk-gap.img", "", 12288 * 512, 40960 * 512);
    expectLayout(data + "/sfdisk-swapped.img",
                 "partition 0 end sector (49152) over partition 1 start sector (2048)\n", 0, 0);
    expectLayout(data + "/sfdisk-single.img",
                 "partition 0 end sector (16384) over partition 1 start sector (0)\n", 0, 0);
    // The protective MBR of a GPT card: one entry covering the disk.
    expectLayout(data + "/gpt.img",
                 "partition 0 end sector (32768) over partition 1 start sector (0)\n", 0, 0);

    // The same card cut by one byte.
    Bytes sector(512);
    FILE* card = std::fopen((data + "/sfdisk-card.img").c_str(), "rb");
    ASSERT_NE(card, nullptr);
    ASSERT_EQ(std::fread(sector.data(), 1, sector.size(), card), sector.size());
    std::fclose(card);
    const std::string cut = dir.file("cut.img");
    writeImage(cut, sector, (48 << 20) - 1);
    expectLayout(cut, "file size too small 50331647 calc size 50331648\n", 0, 0);
}

TEST_F(ImageInfoTest, NamingAndLoadingFailures) {
    const std::string good = dir.file("good.img");
    const std::string empty = dir.file("empty.img");
    const std::string tiny = dir.file("tiny.img");
    const std::string missing = dir.file("missing.img");
    writeImage(good, testutil::makeMbr({{1, 7}, {8, 8}}), 16 * 512);
    testutil::writeFile(empty, {});
    testutil::writeFile(tiny, Bytes(100, 0xEE));

    ImageInfo image;
    captureLog([&] {
        ASSERT_TRUE(image.setName(good));
        ASSERT_TRUE(image.loadMbr());
    });

    // Missing and empty files are refused alike; the previous size stays.
    for (const std::string& path : {missing, empty}) {
        SCOPED_TRACE(path);
        const std::string line = "imageinfo : setFileName (" + path + ") file size 0\n";
        std::string log = captureLog([&] { EXPECT_FALSE(image.setName(path)); });
        ASSERT_GE(log.size(), line.size());
        EXPECT_EQ(log.substr(log.size() - line.size()), line);
        EXPECT_FALSE(image.isReady());
        EXPECT_EQ(image.getName(), path);
        EXPECT_EQ(image.getSize(), 16u * 512);
        log = captureLog([&] {
            EXPECT_FALSE(image.isValid());
            EXPECT_EQ(image.getRootOffset(), 0u);
        });
        EXPECT_EQ(log, "");  // not ready: no rule is applied
        EXPECT_EQ(captureLog([&] { EXPECT_FALSE(image.loadMbr()); }), "imageinfo : invalid\n");
    }

    // A 100-byte file can be named but holds no whole sector; the loaded MBR stays.
    std::string log = captureLog([&] {
        EXPECT_TRUE(image.setName(tiny));
        EXPECT_FALSE(image.loadMbr());
    });
    EXPECT_EQ(log, "imageinfo : fread error\n");
    EXPECT_EQ(image.getSize(), 100u);
    EXPECT_EQ(image.getMbr().getStartSector(1), 8u);

    // Gone between naming and loading.
    captureLog([&] { ASSERT_TRUE(image.setName(good)); });
    std::filesystem::remove(good);
    log = captureLog([&] { EXPECT_FALSE(image.loadMbr()); });
    EXPECT_EQ(log, "imageinfo : fopen error " + good + "\n");
}

}  // namespace

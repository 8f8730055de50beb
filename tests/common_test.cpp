#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "common/common.h"
#include "tests/support/testutil.h"

using testutil::captureLog;

TEST(DebugLog, PrintsSixtyFourBitConversionsOnEveryPlatform) {
    const std::string log = captureLog([] {
        debugLog("%s : %I64d %I64u %d\n", "common", static_cast<long long>(-5000000000LL),
                 static_cast<unsigned long long>(18446744073709551615ULL), 7);
    });
    EXPECT_EQ(log, "common : -5000000000 18446744073709551615 7\n");
}

TEST(DebugLog, LiteralPercentIsNotAConversion) {
    const std::string log = captureLog([] { debugLog("%d%% %%I64d\n", 5); });
    EXPECT_EQ(log, "5% %I64d\n");
}

TEST(FormatString, CutsLongOutputAndKeepsTheTerminator) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    formatString(buf, sizeof buf, "%s", "0123456789");
    EXPECT_STREQ(buf, "0123456");
    formatString(buf, sizeof buf, "%c:", 'E');
    EXPECT_STREQ(buf, "E:");
    formatString(buf, sizeof buf, "%I64u", static_cast<unsigned long long>(4294967296ULL));
    EXPECT_STREQ(buf, "4294967");
}

class GetFileSizeTest : public ::testing::Test {
protected:
    testutil::TempDir dir;
};

TEST_F(GetFileSizeTest, EmptyAndSparseFilesOverFourGiB) {
    const std::string empty = dir.file("empty");
    testutil::writeFile(empty, {});
    EXPECT_EQ(getFileSize(empty.c_str()), 0);

    const std::string big = dir.file("sparse");
    const uint64_t size = (5ull << 30) + 3;
    std::filesystem::resize_file((testutil::writeFile(big, {1}), std::filesystem::path(big)), size);
    EXPECT_EQ(getFileSize(big.c_str()), static_cast<int64_t>(size));
}

TEST_F(GetFileSizeTest, DirectoryAndMissingPathFailWithOneOpenLine) {
    for (const std::string& path : {dir.path(), dir.file("missing")}) {
        int64_t size = 0;
        const std::string log = captureLog([&] { size = getFileSize(path.c_str()); });
        EXPECT_EQ(size, -1) << path;
        EXPECT_EQ(log.rfind("error : open (" + path + ") at common.cpp line ", 0), 0u) << log;
        EXPECT_EQ(testutil::countOf(log, "\n"), 1) << log;
    }
}

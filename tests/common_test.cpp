#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "common/common.h"
#include "common/fileio.h"
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

class FileOpsTest : public GetFileSizeTest {};

// Every kind is told without opening it: a FIFO without a writer included.
TEST_F(FileOpsTest, KindOfEveryPathKind) {
    using fileio::FileKind;
    const std::string file = dir.file("file");
    testutil::writeFile(file, {1});
    std::error_code ec;
    std::filesystem::create_symlink(dir.path(), dir.file("link"), ec);
    const std::string link = ec ? dir.path() : dir.file("link");  // followed
    const std::pair<std::string, FileKind> cases[] = {
        {file, FileKind::Regular},          {dir.path(), FileKind::Directory},
        {link, FileKind::Directory},        {dir.file("missing"), FileKind::Missing},
        {file + "/in", FileKind::Missing},
#ifdef _WIN32
        {"\\\\.\\pipe\\q", FileKind::Fifo}, {"\\\\.\\PhysicalDrive0", FileKind::BlockDevice},
#else
        {"/dev/null", FileKind::CharDevice}, {dir.file("fifo"), FileKind::Fifo},
        {dir.file("socket"), FileKind::Socket},
#endif
    };
#ifndef _WIN32
    ASSERT_TRUE(testutil::makeSpecialFile(dir.file("fifo"), false));
    ASSERT_TRUE(testutil::makeSpecialFile(dir.file("socket"), true));
#endif
    for (const auto& c : cases) {
        EXPECT_EQ(fileio::kindOf(c.first.c_str()), c.second) << c.first;
    }
    EXPECT_STREQ(fileio::kindText(FileKind::Fifo), "a FIFO (named pipe)");
}

// The temporary file's creation never touches what already has its name.
TEST_F(FileOpsTest, CreateNewRefusesEveryExistingName) {
    namespace fs = std::filesystem;
    const std::string mine = dir.file("mine");
    testutil::writeFile(mine, {1, 2, 3});
    std::error_code ec;
    fs::create_symlink(mine, dir.file("link"), ec);
    const bool haveLink = !ec;
    fs::create_symlink(dir.file("nowhere"), dir.file("dangling"), ec);
    for (const char* name : {"mine", "link", "dangling"}) {
        if (std::string(name) != "mine" && !haveLink) {
            continue;  // no symbolic links here (Wine without privileges)
        }
        SCOPED_TRACE(name);
        errno = 0;
        EXPECT_EQ(fileops::createNew(dir.file(name).c_str(), "common"), nullptr);
        EXPECT_EQ(errno, EEXIST);
    }
    EXPECT_TRUE(testutil::readFile(mine) == std::vector<uint8_t>({1, 2, 3}));
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));

    FILE* created = fileops::createNew(dir.file("new").c_str(), "common");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(fileops::write("abc", 1, 3, created), 3u);
    EXPECT_TRUE(fileops::flush(created));
    EXPECT_EQ(fileops::size(created), 3);

    FilePtr same(fileops::open(dir.file("new").c_str(), "rb", "common"));
    FilePtr other(fileops::open(mine.c_str(), "rb", "common"));
    EXPECT_TRUE(fileops::sameFile(created, same.get()));
    EXPECT_FALSE(fileops::sameFile(created, other.get()));
    EXPECT_EQ(fileops::close(created), 0);

    // A temporary one works the same and is gone with its handle.
    FILE* temporary = fileops::createNew(dir.file("temp").c_str(), "common", true);
    ASSERT_NE(temporary, nullptr);
    EXPECT_EQ(fileops::write("abc", 1, 3, temporary), 3u);
    EXPECT_TRUE(fileops::seek(temporary, 1));
    char back[2] = {};
    EXPECT_EQ(fileops::read(back, 1, 2, temporary), 2u);
    EXPECT_EQ(std::string(back, 2), "bc");
    EXPECT_EQ(fileops::close(temporary), 0);
    EXPECT_FALSE(fs::exists(dir.file("temp")));
}

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <memory>

#include "stages/hash.h"
#include "tests/support/testutil.h"

using testutil::captureLog;
using testutil::countOf;

namespace {

using testutil::hex;

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kMiB = 1 << 20;

// One-shot digest: the reference the chunked reading must reproduce.
std::string reference(const Bytes& data, uint64_t offset, uint64_t size) {
    uint8_t digest[32];
    SHA256(data.data() + offset, size, digest);
    return hex(digest);
}

const std::string kZero(64, '0');

class HashTest : public ::testing::Test {
protected:
    testutil::TempDir dir;
};

TEST_F(HashTest, KnownAnswerOfAByteRangeThroughPartitionHash) {
    const std::string path = dir.file("abc");
    testutil::writeText(path, "xxabcyy");
    captureLog([&] {
        PartitionHash stage(false);
        ASSERT_TRUE(stage.setName(path));
        EXPECT_TRUE(stage(2, 3));
        EXPECT_TRUE(stage.getResult());
        EXPECT_EQ(hex(stage.getHashValue()),
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_TRUE(stage(0));  // size 0: to the end of the file
        EXPECT_EQ(hex(stage.getHashValue()), reference({'x', 'x', 'a', 'b', 'c', 'y', 'y'}, 0, 7));
        EXPECT_EQ(stage.getProgress(), 100u);
    });
}

// A file of 10 MiB + 1 bytes; a range reaching past its end stops the run at
// a known chunk, which shows the progress reached after each chunk before it.
class HashRangeTest : public HashTest {
protected:
    void SetUp() override {
        data = testutil::patternBytes(10 * kMiB + 1, 11);
        testutil::writeFile(path, data);
    }

    const std::string path = dir.file("data");
    Bytes data;
};

TEST_F(HashRangeTest, ProgressAfterEachChunkAndTheReadThatFails) {
    const uint64_t end = data.size();
    struct Case {
        uint64_t offset;
        uint64_t size;
        uint32_t progress;
        uint32_t failingChunk;  // 0 = the run succeeds
    };
    const Case cases[] = {
        {1, 10 * kMiB, 100, 0},
        {0, 2 * kMiB, 100, 0},
        {end - 2 * kMiB, 10 * kMiB, 20, 2 * kMiB},
        {end - 4 * kMiB, 10 * kMiB, 40, 2 * kMiB},
        {end - 6 * kMiB, 10 * kMiB, 60, 2 * kMiB},
        {end - 8 * kMiB, 10 * kMiB, 80, 2 * kMiB},
        // 100 after the first chunk: 100 * 1 / size rounds down to 0.
        {end - 2 * kMiB, 2 * kMiB + 1, 100, 1},
        // The last, short chunk is the one that fails.
        {end - 3 * kMiB, 3 * kMiB + 1, 67, kMiB + 1},
    };
    Hash hash;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " + " + std::to_string(c.size));
        bool ok = false;
        const std::string log = captureLog([&] { ok = hash.calcHash(path, c.offset, c.size); });
        EXPECT_EQ(ok, c.failingChunk == 0);
        EXPECT_EQ(hash.getProgress(), c.progress);
        if (c.failingChunk == 0) {
            EXPECT_EQ(log, "");
            EXPECT_EQ(hex(hash.getHashValue()), reference(data, c.offset, c.size));
        } else {
            EXPECT_EQ(log.rfind("hash : fread (" + std::to_string(c.failingChunk) + ") error ", 0),
                      0u)
                << log;
            EXPECT_EQ(countOf(log, "\n"), 1) << log;
        }
    }
}

TEST_F(HashRangeTest, RangeErrorsLeaveNoDigest) {
    const std::string missing = dir.file("missing");
    const std::string size = std::to_string(data.size());
    struct Case {
        std::string path;
        uint64_t offset;
        uint64_t size;
        std::string lastLine;
        int lines;
    };
    const Case cases[] = {
        {path, data.size(), 0,
         "hash : getFileSize " + size + " error offset " + size + " (" + path + ")\n", 1},
        {path, data.size() + 5, 0,
         "hash : getFileSize " + size + " error offset " + std::to_string(data.size() + 5) + " (" +
             path + ")\n",
         1},
        // getFileSize writes its own line first.
        {missing, 0, 0, "hash : getFileSize -1 error offset 0 (" + missing + ")\n", 2},
        {missing, 0, 10, "hash : fopen error " + missing + "\n", 1},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Refused at once, not held until a writer comes.
    const std::string fifo = dir.file("fifo");
    if (testutil::makeSpecialFile(fifo, false)) {
        all.push_back({fifo, 0, 10, "hash : fopen error " + fifo + "\n", 1});
    }
    Hash hash;
    for (const Case& c : all) {
        SCOPED_TRACE(c.lastLine);
        captureLog([&] { ASSERT_TRUE(hash.calcHash(path, 0, 100)); });
        bool ok = true;
        const std::string log = captureLog([&] { ok = hash.calcHash(c.path, c.offset, c.size); });
        EXPECT_FALSE(ok);
        ASSERT_GE(log.size(), c.lastLine.size());
        EXPECT_EQ(log.substr(log.size() - c.lastLine.size()), c.lastLine);
        EXPECT_EQ(countOf(log, "\n"), c.lines) << log;
        EXPECT_EQ(hex(hash.getHashValue()), kZero);
        EXPECT_EQ(hash.getProgress(), 0u);
    }
}

TEST_F(HashRangeTest, SuspendBeforeTheRunStopsItBeforeTheFirstRead) {
    std::unique_ptr<PartitionHash> stage;
    captureLog([&] {
        stage = std::make_unique<PartitionHash>(false);
        ASSERT_TRUE(stage->setName(path));
        ASSERT_TRUE((*stage)(0, 100));
    });
    EXPECT_EQ(captureLog([&] { stage->requestSuspend(); }), "");
    EXPECT_EQ(captureLog([&] { EXPECT_FALSE((*stage)(0, 100)); }), "hash : suspend\n");
    EXPECT_FALSE(stage->getResult());
    EXPECT_EQ(stage->getHashValue(), nullptr);
    EXPECT_EQ(stage->getProgress(), 0u);
    // The request stays: a later run stops as well.
    EXPECT_EQ(captureLog([&] { EXPECT_FALSE((*stage)(0, 0)); }), "hash : suspend\n");

    Hash hash;
    hash.requestSuspend();
    captureLog([&] { EXPECT_FALSE(hash.calcHash(path, 0, 100)); });
    EXPECT_EQ(hex(hash.getHashValue()), kZero);
}

TEST_F(HashTest, RootPartitionOfAnImage) {
    const std::string image = dir.file("card.img");
    // Root partition of 2 MiB + 1 sector: two chunks.
    testutil::makeCardImage(image, {{1, 7}, {8, 4097}}, (8 + 4097) * 512 + 1000, 3);
    const Bytes bytes = testutil::readFile(image);
    captureLog([&] {
        PartitionHash stage(false);
        ASSERT_TRUE(stage.setName(image));
        EXPECT_TRUE(stage.hashRootPartition());
        EXPECT_EQ(hex(stage.getHashValue()), reference(bytes, 8 * 512, 4097 * 512));
    });

    // Without a root partition the size is 0, which must not turn into
    // "hash the whole image".
    const std::string blank = dir.file("blank.img");
    testutil::writeFile(blank, Bytes(4096, 0));
    std::string log = captureLog([&] {
        PartitionHash stage(false);
        ASSERT_TRUE(stage.setName(blank));
        EXPECT_FALSE(stage.hashRootPartition());
        EXPECT_EQ(stage.getHashValue(), nullptr);
    });
    EXPECT_NE(log.find("hash : no root partition (" + blank + ")\n"), std::string::npos) << log;
}

}  // namespace

// The update job on a real block device: a loop device over a card image,
// reached through the same raw-storage calls as qlupdate apply --device.
// Needs root and losetup; skips where the machine allows neither.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "storage/blockdevice.h"
#include "tests/support/faultinject.h"
#include "tests/support/testutil.h"
#include "update/applyupdatefile.h"

namespace {

constexpr uint64_t kSector = 512;
constexpr uint32_t kRootStart = 2048;
constexpr uint32_t kRootCount = 6144;  // 3 MiB: a short last chunk is not needed here
constexpr uint64_t kRootOffset = kRootStart * kSector;
constexpr uint64_t kRootSize = kRootCount * kSector;
const std::string kCopy = "rootcopy : ";

// The first line a command prints, or "" when it fails.
std::string run(const std::string& command) {
    char line[256] = "";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    if (::pclose(pipe) != 0 || !got) {
        return "";
    }
    line[std::strcspn(line, "\n")] = '\0';
    return line;
}

struct Result {
    int code = -1;
    std::string reason;
    std::string log;
    int targetWrites = 0;
};

class LoopDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        struct statvfs fs;
        if (::geteuid() != 0) {
            GTEST_SKIP() << "loop devices need root";
        }
        if (::statvfs(dir.path().c_str(), &fs) != 0 ||
            uint64_t{fs.f_bavail} * fs.f_frsize < ApplyUpdateFile::kRequiredFreeSpace) {
            GTEST_SKIP() << "the job needs 4 GiB free beside the update file";
        }
        const std::vector<testutil::Entry> entries = {{64, 1984, 0x0c}, {kRootStart, kRootCount}};
        const uint64_t size = (kRootStart + kRootCount + 128) * kSector;
        testutil::makeCardImage(card, entries, size, 1);
        testutil::makeCardImage(newCard, entries, size, 2);
        ASSERT_TRUE(testutil::makeUpdateFile(newCard, update));
        device = run("losetup -f --show '" + card + "' 2>/dev/null");
        if (device.empty()) {
            GTEST_SKIP() << "losetup is not allowed here";
        }
        rawdevice::useBlockDevice(device);
        newRoot = testutil::digest(newCard, kRootOffset, kRootSize);
    }
    void TearDown() override {
        rawdevice::useBlockDevice("");
        if (!device.empty()) {
            run("losetup -d " + device);
        }
    }

    // The kernel's own count of the device's written sectors: the job writes
    // the card through its held descriptor, which no stream hook sees.
    uint64_t sectorsWritten() const {
        std::ifstream stat("/sys/block/" + device.substr(device.rfind('/') + 1) + "/stat");
        uint64_t field[7] = {};
        for (uint64_t& f : field) {
            stat >> f;
        }
        return field[6];
    }

    Result apply(const std::function<int(const faultinject::Call&)>& onCall = nullptr) {
        Result r;
        const uint64_t writtenBefore = sectorsWritten();
        faultinject::Injector injector;
        if (onCall) {
            injector.onCall(onCall);
        }
        r.log = testutil::captureLog([&] {
            ApplyUpdateFile job(update, device, device);
            job.create();
            job.join();
            r.code = job.getResult();
            r.reason = job.getReason();
        });
        r.targetWrites = static_cast<int>(sectorsWritten() - writtenBefore);
        return r;
    }

    testutil::TempDir dir;
    std::string card = dir.file("card.img");
    std::string newCard = dir.file("new.img");
    std::string update = dir.file("update.qlu");
    std::string device;
    std::string newRoot;
};

TEST_F(LoopDeviceTest, VerifiesTheWriteAndASecondRunWritesNothing) {
    const std::string head = testutil::digest(card, 0, kRootOffset);
    const std::string tail = testutil::digest(card, kRootOffset + kRootSize);

    const Result first = apply();
    EXPECT_EQ(first.code, ResultNone) << first.log;
    // One piece, read back past the page cache.
    EXPECT_EQ(testutil::countOf(first.log, kCopy + "verify pieces read back 1, bytes 3145728, "
                                                   "equal to the unpacked root\n"),
              1)
        << first.log;
    EXPECT_EQ(testutil::digest(card, kRootOffset, kRootSize), newRoot);
    EXPECT_EQ(testutil::digest(card, 0, kRootOffset), head);
    EXPECT_EQ(testutil::digest(card, kRootOffset + kRootSize), tail);

    EXPECT_GT(first.targetWrites, 0);
    const std::string whole = testutil::digest(card);
    const Result second = apply();
    EXPECT_EQ(second.code, ResultUpToDate) << second.log;
    EXPECT_EQ(second.targetWrites, 0);
    EXPECT_EQ(testutil::digest(card), whole);
}

// The card keeps something else than it took: once the copy has synced the
// device, a byte of the image behind it changes, and the read-back sees it.
// (Here the kernel also drops a block device's pages at its last close.)
TEST_F(LoopDeviceTest, CardThatChangesItsBytesAfterTheWriteIsCodeFive) {
    bool changed = false;  // by the job's worker, read after the join
    const Result r = apply([&](const faultinject::Call& c) {
        // The temporary file closes between the copy's sync and the read-back.
        if (c.op == fileops::Op::Close && c.path.size() > 4 &&
            c.path.compare(c.path.size() - 4, 4, ".tmp") == 0 && !changed) {
            changed = true;
            std::fstream image(card, std::ios::in | std::ios::out | std::ios::binary);
            image.seekg(kRootOffset + kRootSize / 2);
            const char byte = static_cast<char>(image.get() ^ 0x01);
            image.seekp(kRootOffset + kRootSize / 2);
            image.put(byte);
        }
        return 0;
    });
    ASSERT_TRUE(changed);
    const std::string kept = testutil::digest(card, kRootOffset, kRootSize);
    EXPECT_NE(kept, newRoot);
    EXPECT_EQ(r.code, ResultWriteFailed) << r.log;
    EXPECT_EQ(
        testutil::countOf(r.log, kCopy + "verify fail at 0 written " + newRoot + " read " + kept),
        1)
        << r.log;
    EXPECT_EQ(r.reason,
              "the card holds something else than was written in the piece at byte 0 of the "
              "root partition: SHA-256 written " +
                  newRoot + ", read back " + kept);
}

}  // namespace

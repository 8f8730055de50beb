// Windows failures carry the system's code and text on a line of their own,
// right before the line that says what failed. POSIX lines carry errno
// already, so there the helper writes nothing and nothing is tested.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <memory>
#include <string>

#include "tests/support/fake_platform.h"
#include "tests/support/testutil.h"
#include "update/applyupdatefile.h"

namespace {

using testutil::captureLog;

// The copy's open (of a folder) and write (to a full device) as Windows
// refuses them; the card is the fake drive E:. The line after still has its
// errno text: the system's line leaves errno alone.
TEST(SystemError, CopyFailuresCarryTheSystemReason) {
    testutil::TempDir dir;
    const std::string card = dir.file("card.img"), next = dir.file("next.img");
    const std::string update = dir.file("update.bin");
    testutil::makeCardImage(card, {{8, 24, 0x0c, 0x80}, {32, 64}}, 96 * 512, 1);
    testutil::makeCardImage(next, {{8, 24, 0x0c, 0x80}, {32, 64}}, 96 * 512, 2);
    ASSERT_TRUE(testutil::makeUpdateFile(next, update));
    const std::string full = testutil::hostPath("/dev/full");
    const std::string cases[][3] = {
        {dir.path(), "open " + dir.path() + " system error 5: ", "can not open image file "},
        {full, "fwrite " + full + " system error 112: ",
         "fwrite (32768) error No space left on device\n"},
    };
    for (const auto& [target, systemLine, nextLine] : cases) {
        SCOPED_TRACE(target);
        fakeplatform::reset();
        fakeplatform::Disk disk;
        disk.backingFile = card;
        fakeplatform::addDrive('E', disk);
        std::unique_ptr<ApplyUpdateFile> job;
        const std::string log = captureLog([&] {
            job = std::make_unique<ApplyUpdateFile>(update, target, "E:");
            job->create();
            job->join();
        });
        EXPECT_EQ(job->getResult(), ResultWriteFailed) << log;
        const size_t at = log.find("applyupdatefile : " + systemLine);
        ASSERT_NE(at, std::string::npos) << log;
        EXPECT_EQ(log.find('\r', at), std::string::npos) << "the text keeps its line end";
        const std::string after = "\napplyupdatefile : " + nextLine;
        EXPECT_EQ(log.compare(log.find('\n', at), after.size(), after), 0) << log;
    }
    fakeplatform::reset();
}

}  // namespace

#endif

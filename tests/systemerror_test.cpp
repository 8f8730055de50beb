// The system's reason for a failed call, on a log line of its own beside the
// line that says what failed. Windows keeps such a code; POSIX lines carry
// errno already, so the helper writes nothing there.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "common/systemerror.h"
#include "tests/support/fake_platform.h"
#include "tests/support/testutil.h"
#include "update/applyupdatefile.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using testutil::captureLog;
using testutil::countOf;

#ifdef _WIN32

// The line for code: prefix, then the system's text, with no line end of its own.
void expectLine(const std::string& log, const std::string& prefix, unsigned long code) {
    const std::string head = prefix + " system error " + std::to_string(code) + ": ";
    const size_t at = log.find(head);
    ASSERT_NE(at, std::string::npos) << log;
    const size_t end = log.find('\n', at);
    const std::string text = log.substr(at + head.size(), end - at - head.size());
    EXPECT_FALSE(text.empty()) << log;
    EXPECT_EQ(text.find('\r'), std::string::npos) << log;
    EXPECT_NE(text, "(no text)") << log;
}

TEST(SystemError, LineHasCodeAndTextAndLeavesBothErrorsAsTheyWere) {
    DWORD after = 0;
    int errnoAfter = 0;
    std::string log = captureLog([&] {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        errno = ENOSPC;
        systemerror::logLast("deviceinfo", "CreateFileA", "\\\\.\\E:");
        after = ::GetLastError();
        errnoAfter = errno;
    });
    expectLine(log, "deviceinfo : CreateFileA \\\\.\\E:", ERROR_SHARING_VIOLATION);
    EXPECT_EQ(countOf(log, "\n"), 1) << log;
    EXPECT_EQ(after, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(errnoAfter, ENOSPC);

    log = captureLog([] {
        ::SetLastError(ERROR_NOT_READY);
        systemerror::logLast("deviceinfo", "FSCTL_LOCK_VOLUME", nullptr);
    });
    expectLine(log, "deviceinfo : FSCTL_LOCK_VOLUME", ERROR_NOT_READY);

    EXPECT_EQ(captureLog([] {
                  ::SetLastError(ERROR_SUCCESS);
                  systemerror::logLast("deviceinfo", "ReadFile", nullptr);
              }),
              "");
}

// The copy to a card that Windows refuses: the open (here a folder) and the
// write (here a full device) each add the system's reason to their line.
TEST(SystemError, CopyFailuresCarryTheSystemReason) {
    testutil::TempDir dir;
    const std::string card = dir.file("card.img");
    const std::string next = dir.file("next.img");
    const std::string update = dir.file("update.bin");
    testutil::makeCardImage(card, {{8, 24, 0x0c, 0x80}, {32, 64}}, 96 * 512, 1);
    testutil::makeCardImage(next, {{8, 24, 0x0c, 0x80}, {32, 64}}, 96 * 512, 2);
    ASSERT_TRUE(testutil::makeUpdateFile(next, update));
    struct Case {
        std::string target;
        std::string systemLine;  // its beginning: the text is the system's
        std::string nextLine;
    };
    const std::string full = testutil::hostPath("/dev/full");
    const Case cases[] = {
        {dir.path(), "applyupdatefile : open " + dir.path() + " system error 5: ",
         "applyupdatefile : can not open image file " + dir.path() + "\n"},
        {full, "applyupdatefile : fwrite " + full + " system error 112: ",
         "applyupdatefile : fwrite (32768) error "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        fakeplatform::reset();
        fakeplatform::Disk disk;
        disk.backingFile = card;
        fakeplatform::addDrive('E', disk);
        std::unique_ptr<ApplyUpdateFile> job;
        const std::string log = captureLog([&] {
            job = std::make_unique<ApplyUpdateFile>(update, c.target, "E:");
            job->create();
            job->join();
        });
        EXPECT_EQ(job->getResult(), ResultWriteFailed) << log;
        const size_t at = log.find(c.systemLine);
        ASSERT_NE(at, std::string::npos) << log;
        EXPECT_EQ(countOf(log, " system error "), 1) << log;
        // The system's line comes right before the line it explains.
        EXPECT_EQ(log.compare(log.find('\n', at) + 1, c.nextLine.size(), c.nextLine), 0) << log;
    }
    fakeplatform::reset();
}

#else

TEST(SystemError, PosixLeavesItToTheCallersLines) {
    errno = EACCES;
    EXPECT_EQ(captureLog([] { systemerror::logLast("deviceinfo", "open", "/dev/sdz"); }), "");
    EXPECT_EQ(errno, EACCES);
}

#endif

}  // namespace

// Windows failures are told in the system's words: the log line carries the
// code and text, and a raw-disk failure keeps what it means (a pulled card, a
// lock switch) for the reason the user reads. The C runtime would have said
// "Permission denied" or "Invalid argument" for most of these.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/fileio.h"
#include "common/systemerror.h"
#include "storage/rawdevice.h"

namespace {

TEST(SystemError, RawDiskFailuresKeepWhatTheyMean) {
    struct Case {
        DWORD code;
        rawdevice::Fault fault;
    };
    const Case cases[] = {
        {ERROR_WRITE_PROTECT, rawdevice::Fault::WriteProtected},
        {ERROR_NOT_READY, rawdevice::Fault::Gone},
        {ERROR_DEVICE_NOT_CONNECTED, rawdevice::Fault::Gone},
        {433 /* ERROR_NO_SUCH_DEVICE */, rawdevice::Fault::Gone},
        {ERROR_ACCESS_DENIED, rawdevice::Fault::AccessDenied},
        {ERROR_SHARING_VIOLATION, rawdevice::Fault::Busy},
        {ERROR_CRC, rawdevice::Fault::Other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ::SetLastError(c.code);
        rawdevice::rememberLastError();
        EXPECT_EQ(::GetLastError(), c.code) << "left for the log line after it";
        const rawdevice::Error error = rawdevice::lastError();
        EXPECT_EQ(error.fault, c.fault);
        const std::string prefix = "system error " + std::to_string(c.code) + ": ";
        EXPECT_EQ(error.text.compare(0, prefix.size(), prefix), 0) << error.text;
        EXPECT_GT(error.text.size(), prefix.size()) << "the system's own words follow";
        EXPECT_EQ(error.text.find_first_of("\r\n"), std::string::npos) << error.text;
    }
}

// A file call that failed in Windows says so in Windows' words; one that
// failed in the runtime alone keeps the runtime's.
TEST(SystemError, FileFailuresUseTheSystemCodeTheRuntimeKept) {
    fileio::clearSystemError();
    errno = ENOSPC;
    EXPECT_EQ(fileio::lastErrorText(), std::strerror(ENOSPC));
    _doserrno = ERROR_WRITE_PROTECT;
    EXPECT_EQ(fileio::lastErrorText().compare(0, 17, "system error 19: "), 0)
        << fileio::lastErrorText();
    fileio::clearSystemError();
}

}  // namespace

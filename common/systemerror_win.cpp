#include <windows.h>

#include <cerrno>

#include "common/common.h"
#include "common/systemerror.h"

namespace systemerror {

void logLast(const char* module, const char* call, const char* subject) {
    const DWORD code = ::GetLastError();  // first: later calls may change it
    const int savedErrno = errno;         // the caller's own line may print it
    if (code == ERROR_SUCCESS) {
        return;
    }
    const std::string words = describe(code);
    if (subject != nullptr) {
        debugLog("%s : %s %s %s\n", module, call, subject, words.c_str());
    } else {
        debugLog("%s : %s %s\n", module, call, words.c_str());
    }
    ::SetLastError(code);
    errno = savedErrno;
}

}  // namespace systemerror

namespace systemerror {

std::string describe(unsigned long code) {
    // In the user's language and ANSI code page, as every other log line.
    char text[256];
    DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        --length;
    }
    text[length < sizeof text ? length : sizeof text - 1] = '\0';
    return formatText("system error %lu: %s", code, length > 0 ? text : "(no text)");
}

}  // namespace systemerror

#include "update/jobwatch_win.h"

#include "common/common.h"
#include "common/endgrace_win.h"
#include "update/jobwatch.h"
#include "update/messages.h"

namespace {

const char* const kModule = "jobwatch";

const char* causeOf(DWORD event) {
    switch (event) {
        case CTRL_CLOSE_EVENT:
            return "the log window was closed";
        case CTRL_LOGOFF_EVENT:
            return "the user is signing out";
        default:
            return "Windows is shutting down";
    }
}

}  // namespace

namespace jobwatch {

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            debugLog("%s : Ctrl+%s in the log window is ignored\n", kModule,
                     event == CTRL_C_EVENT ? "C" : "Break");
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            stop(causeOf(event), endGraceMs(event));
            return TRUE;
        default:
            return FALSE;
    }
}

bool holdSessionEnd(HWND window) {
    if (!busy()) {
        ShutdownBlockReasonDestroy(window);
        return false;
    }
    // The text is CP932 whatever the system's code page.
    wchar_t reason[MAX_STR_BLOCKREASON];
    if (MultiByteToWideChar(932, 0, sessionHeldMessage(), -1, reason, MAX_STR_BLOCKREASON) == 0 ||
        !ShutdownBlockReasonCreate(window, reason)) {
        debugLog("%s : the reason for holding the session end was not taken (%lu)\n", kModule,
                 static_cast<unsigned long>(GetLastError()));
    }
    debugLog("%s : the session end waits for the update\n", kModule);
    return true;
}

void onSessionEnd(HWND window, LPARAM flags) {
    stop(causeOf((flags & ENDSESSION_LOGOFF) != 0 ? CTRL_LOGOFF_EVENT : CTRL_SHUTDOWN_EVENT),
         endGraceMs(CTRL_SHUTDOWN_EVENT));
    ShutdownBlockReasonDestroy(window);
}

}  // namespace jobwatch

#include "cli/interrupt.h"

#include <atomic>
#include <csignal>
#include <cstddef>

#ifdef _WIN32
#include <windows.h>

#include "common/endgrace_win.h"
#endif

namespace {

std::atomic<bool> stopAsked{false};
using Handler = void (*)(int);

// The first signal asks for a stop at the next chunk; a second one, for a run
// stuck where no chunk ends, is obeyed at once.
extern "C" void onStopSignal(int number) {
    if (stopAsked.exchange(true)) {
        std::signal(number, SIG_DFL);
        std::raise(number);
    }
}

// SIGHUP, SIGTERM and SIGXFSZ are POSIX; the Windows runtime has SIGINT and
// a SIGTERM that nothing sends.
const int kStopSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};
Handler previous[sizeof kStopSignals / sizeof kStopSignals[0]];

#ifdef _WIN32
// Set by unwatch(): the run that was asked to stop has ended and cleaned up.
HANDLE runEnded = nullptr;

// The runtime turns only Ctrl+C into SIGINT; Ctrl+Break and a closed console
// window would end the process in the middle of a write. All three ask for
// the stop Ctrl+C asks for. Windows ends the process as soon as the handler
// of a close returns, and at the latest after a few seconds: that one waits
// for the run to end.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // A second one goes on to the default handling, which ends the process.
            return stopAsked.exchange(true) ? FALSE : TRUE;
        case CTRL_CLOSE_EVENT:
            stopAsked.store(true);
            ::WaitForSingleObject(runEnded, endGraceMs(event));
            return TRUE;
        default:
            return FALSE;
    }
}
#endif

}  // namespace

namespace interrupt {

void ignoreFatalWrites() {
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void watch() {
    stopAsked.store(false);
    for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
        previous[i] = std::signal(kStopSignals[i], onStopSignal);
#ifdef SIGHUP
        // A run started under nohup keeps ignoring the hang-up. (A shell
        // starts background jobs ignoring SIGINT; a kill -INT still stops.)
        if (kStopSignals[i] == SIGHUP && previous[i] == SIG_IGN) {
            std::signal(kStopSignals[i], SIG_IGN);
        }
#endif
    }
#ifdef _WIN32
    // After signal(), which installs the runtime's own handler: this one is asked first.
    if (runEnded == nullptr) {
        runEnded = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ::ResetEvent(runEnded);
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#endif
}

void unwatch() {
#ifdef _WIN32
    ::SetEvent(runEnded);
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
#endif
    for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
        std::signal(kStopSignals[i], previous[i] == SIG_ERR ? SIG_DFL : previous[i]);
    }
}

bool requested() {
    return stopAsked.load();
}

}  // namespace interrupt

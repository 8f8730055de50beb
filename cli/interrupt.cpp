#include "cli/interrupt.h"

#include <atomic>
#include <csignal>
#include <cstddef>

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
}

void unwatch() {
    for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
        std::signal(kStopSignals[i], previous[i] == SIG_ERR ? SIG_DFL : previous[i]);
    }
}

bool requested() {
    return stopAsked.load();
}

}  // namespace interrupt

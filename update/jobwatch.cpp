#include "update/jobwatch.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "common/common.h"
#include "update/applyupdatefile.h"

namespace {

const char* const kModule = "jobwatch";

// Held while the watched job is used or destroyed. A stop tries it for no
// longer than the system allows (polled: ThreadSanitizer does not follow
// the timed lock that std::timed_mutex uses).
std::mutex guard;
ApplyUpdateFile* watched = nullptr;
std::atomic<bool> stopAsked{false};

}  // namespace

namespace jobwatch {

void watch(ApplyUpdateFile& job) {
    std::lock_guard<std::mutex> lock(guard);
    watched = &job;
    stopAsked.store(false);
}

void destroy(ApplyUpdateFile*& job) {
    std::lock_guard<std::mutex> lock(guard);
    if (watched == job) {
        watched = nullptr;
    }
    delete job;
    job = nullptr;
}

bool stop(const char* why, unsigned ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const auto elapsed = [&start] {
        return static_cast<unsigned>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    std::unique_lock<std::mutex> lock(guard, std::try_to_lock);
    while (!lock.owns_lock()) {
        if (elapsed() >= ms) {
            debugLog("%s : %s: the update was still ending after %u ms\n", kModule, why, ms);
            return false;
        }
        sleepMs(1);
        lock.try_lock();
    }
    if (watched == nullptr || !watched->isRunning()) {
        debugLog("%s : %s: no update is running\n", kModule, why);
        return true;
    }
    debugLog("%s : %s: the update is asked to stop at its next piece\n", kModule, why);
    stopAsked.store(true);
    watched->requestStop();
    while (watched->isRunning()) {
        if (elapsed() >= ms) {
            debugLog("%s : %s: the update did not stop within %u ms\n", kModule, why, ms);
            return false;
        }
        sleepMs(10);
    }
    debugLog(
        "%s : %s: the update stopped after %u ms; the card and the temporary file are "
        "closed\n",
        kModule, why, elapsed());
    return true;
}

bool stopped() {
    return stopAsked.load();
}

bool busy() {
    std::unique_lock<std::mutex> lock(guard, std::try_to_lock);
    return !lock.owns_lock() || (watched != nullptr && watched->isRunning());
}

}  // namespace jobwatch

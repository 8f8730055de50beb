// qlupdate's status line on standard error. On a terminal one line is
// redrawn in place; on a pipe or a file a line is printed when a phase starts
// and at most one every kPipedPeriod after, so that a log of a long run stays
// short.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>

#include "common/common.h"

class ProgressLine {
public:
    static constexpr std::chrono::seconds kPipedPeriod{5};

    // A terminal when standard error is one; its width then bounds the line.
    ProgressLine();
    // columns 0: no bound.
    explicit ProgressLine(bool terminal, std::chrono::milliseconds pipedPeriod = kPipedPeriod,
                          int columns = 0);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // A phase that counts bytes: done of total, the speed since the phase
    // was first shown and the time left at that speed; then note, if any.
    void show(const char* phase, uint64_t done, uint64_t total, const std::string& note = "");
    // A phase that counts bytes towards no known total: done and the speed.
    void showCount(const char* phase, uint64_t done);
    // A phase that counts nothing: its name, a spinner and the time spent.
    void show(const char* phase);
    // Leaves a terminal on a fresh line.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    void emit(const char* phase, const std::string& detail);
    // Bytes per second since the phase began; 0 while too early to say.
    double speedOf(const char* phase, uint64_t done) const;

    bool terminal;
    std::chrono::milliseconds pipedPeriod{kPipedPeriod};
    int columns = 0;
    unsigned spin = 0;
    std::string phase;
    Clock::time_point phaseStart;
    uint64_t startDone = 0;  // bytes already counted when the phase was first shown
    Clock::time_point lastPrinted;
};

// The width of the terminal on standard error; 0 when unknown.
int terminalColumns();

// "512 B", "4.0 KiB", "1.5 GiB".
std::string formatBytes(uint64_t bytes);
// "0:07", "12:34", "1:02:03".
std::string formatDuration(double seconds);

// Runs work on a thread of its own and, meanwhile, calls poll every 50 ms.
// A system that gives no thread (a cgroup's pids.max, a small ulimit -v)
// gets the work done here, without progress.
template <typename Work, typename Poll>
void runPolling(Work work, Poll poll) {
    std::atomic<bool> finished{false};
    std::thread worker;
    try {
        worker = std::thread([&] {
            work();
            finished.store(true);
        });
    } catch (const std::system_error&) {
        work();
        return;
    }
    while (!finished.load()) {
        poll();
        sleepMs(50);
    }
    worker.join();
}

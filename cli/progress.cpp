#include "cli/progress.h"

#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#endif

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The line drawn on the terminal, shared with the log's hook: log lines come
// from the job's threads while the main thread redraws.
std::mutex screen;
size_t drawnLength = 0;  // 0 when no line is drawn

// A log line on the same terminal starts on a clean line; the next redraw
// puts the progress back under it.
void eraseForLog() {
    std::lock_guard<std::mutex> lock(screen);
    if (drawnLength > 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawnLength), "");
        std::fflush(stderr);
        drawnLength = 0;
    }
}

}  // namespace

int terminalColumns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
#else
    struct winsize size;
    if (::ioctl(::fileno(stderr), TIOCGWINSZ, &size) == 0) {
        return size.ws_col;
    }
#endif
    return 0;
}

ProgressLine::ProgressLine()
    : ProgressLine(::isatty(::fileno(stderr)) != 0, kPipedPeriod, terminalColumns()) {}

ProgressLine::ProgressLine(bool terminal, std::chrono::milliseconds pipedPeriod, int columns)
    : terminal(terminal), pipedPeriod(pipedPeriod), columns(columns) {
    if (terminal) {
        setLogLineHook(eraseForLog);
    }
}

ProgressLine::~ProgressLine() {
    finish();
    if (terminal) {
        setLogLineHook(nullptr);
    }
}

std::string formatBytes(uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string formatDuration(double seconds) {
    const long long total = seconds > 0 ? static_cast<long long>(seconds + 0.5) : 0;
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

double ProgressLine::speedOf(const char* name, uint64_t done) const {
    const double seconds =
        phase == name ? std::chrono::duration<double>(Clock::now() - phaseStart).count() : 0.0;
    // The first moments of a phase say nothing of its speed.
    return seconds >= 0.5 && done > startDone ? static_cast<double>(done - startDone) / seconds
                                              : 0.0;
}

void ProgressLine::show(const char* name, uint64_t done, uint64_t total, const std::string& note) {
    if (phase != name) {
        startDone = done;
    }
    std::string detail = formatBytes(done) + " of " + formatBytes(total);
    const double speed = speedOf(name, done);
    if (speed > 0) {
        detail += "  " + formatBytes(static_cast<uint64_t>(speed)) + "/s";
        if (done < total) {
            detail += "  " + formatDuration(static_cast<double>(total - done) / speed) + " left";
        }
    }
    emit(name, detail + note);
}

void ProgressLine::showCount(const char* name, uint64_t done) {
    if (phase != name) {
        startDone = done;
    }
    std::string detail = formatBytes(done) + " so far";
    const double speed = speedOf(name, done);
    if (speed > 0) {
        detail += "  " + formatBytes(static_cast<uint64_t>(speed)) + "/s";
    }
    emit(name, detail);
}

void ProgressLine::show(const char* name) {
    static const char spinner[] = "|/-\\";
    const auto now = Clock::now();
    const double seconds =
        phase == name ? std::chrono::duration<double>(now - phaseStart).count() : 0.0;
    std::string detail;
    if (terminal) {
        detail = std::string(1, spinner[spin++ % 4]) + " ";
    }
    emit(name, detail + formatDuration(seconds));
}

void ProgressLine::emit(const char* name, const std::string& detail) {
    const auto now = Clock::now();
    const bool newPhase = phase != name;
    if (newPhase) {
        phase = name;
        phaseStart = now;
    }
    char text[160];
    std::snprintf(text, sizeof text, "%-22s %s", name, detail.c_str());
    if (terminal) {
        // A line as wide as the terminal wraps, and each redraw would then
        // leave its first part behind: one column is kept free.
        if (columns > 1 && std::strlen(text) >= static_cast<size_t>(columns)) {
            text[columns - 1] = '\0';
        }
        const size_t length = std::strlen(text);
        std::lock_guard<std::mutex> lock(screen);
        // Blanks over whatever a longer earlier line left behind.
        std::fprintf(stderr, "\r%s%*s", text,
                     static_cast<int>(drawnLength > length ? drawnLength - length : 0), "");
        std::fflush(stderr);
        drawnLength = length > 0 ? length : 1;
        return;
    }
    if (newPhase || now - lastPrinted >= pipedPeriod) {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
        lastPrinted = now;
    }
}

void ProgressLine::finish() {
    if (terminal) {
        std::lock_guard<std::mutex> lock(screen);
        if (drawnLength > 0) {
            std::fputc('\n', stderr);
            std::fflush(stderr);
        }
        drawnLength = 0;
    }
    phase.clear();
}

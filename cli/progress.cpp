#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

ProgressLine::ProgressLine() : terminal(::isatty(::fileno(stderr)) != 0) {}

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

void ProgressLine::show(const char* name, uint64_t done, uint64_t total) {
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
    emit(name, detail);
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
        // Blanks over whatever a longer earlier line left behind.
        const size_t length = std::strlen(text);
        std::fprintf(stderr, "\r%s%*s", text,
                     static_cast<int>(drawnLength > length ? drawnLength - length : 0), "");
        std::fflush(stderr);
        drawn = true;
        drawnLength = length;
        return;
    }
    if (newPhase || now - lastPrinted >= pipedPeriod) {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
        lastPrinted = now;
    }
}

void ProgressLine::finish() {
    if (drawn) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    drawn = false;
    drawnLength = 0;
    phase.clear();
}

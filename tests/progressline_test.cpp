// qlupdate's status line: what a user reads on a terminal, and how many
// lines a long run leaves in a log.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "cli/progress.h"
#include "common/common.h"

namespace {

using std::chrono::milliseconds;

std::string shown(bool terminal, milliseconds period, void (*run)(ProgressLine&)) {
    testing::internal::CaptureStderr();
    {
        ProgressLine line(terminal, period);
        run(line);
    }
    return testing::internal::GetCapturedStderr();
}

size_t count(const std::string& text, char c) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), c));
}

TEST(ProgressLine, SizesAndDurationsReadAsAUserExpects) {
    EXPECT_EQ("1023 B", formatBytes(1023));
    EXPECT_EQ("1.0 KiB", formatBytes(1024));
    EXPECT_EQ("8.0 MiB", formatBytes(8u << 20));
    EXPECT_EQ("1.5 GiB", formatBytes(3ull << 29));
    EXPECT_EQ("0:00", formatDuration(-3));
    EXPECT_EQ("0:59", formatDuration(59.4));
    EXPECT_EQ("1:00", formatDuration(59.6));
    EXPECT_EQ("1:00:00", formatDuration(3600));
}

TEST(ProgressLine, PipeGetsOneLinePerPhaseWithinAPeriod) {
    const std::string text = shown(false, milliseconds(60000), [](ProgressLine& line) {
        for (int i = 0; i < 50; ++i) {
            line.show("unpacking");
        }
        for (uint64_t done = 0; done <= 100; ++done) {
            line.show("writing", done << 20, 100u << 20);
        }
    });
    EXPECT_EQ(2u, count(text, '\n')) << text;
    EXPECT_EQ(0u, count(text, '\r')) << text;
    EXPECT_EQ(0u, text.find("unpacking")) << text;
    EXPECT_NE(std::string::npos, text.find("writing                0 B of 100.0 MiB")) << text;
}

TEST(ProgressLine, PipeRepeatsALongPhaseOncePerPeriod) {
    const std::string text = shown(false, milliseconds(100), [](ProgressLine& line) {
        for (int i = 0; i < 13; ++i) {
            line.show("syncing");
            sleepMs(25);
        }
    });
    // 325 ms at one line per 100 ms: the first line and three or four more.
    EXPECT_GE(count(text, '\n'), 3u) << text;
    EXPECT_LE(count(text, '\n'), 5u) << text;
}

TEST(ProgressLine, TerminalRedrawsInPlaceAndEndsOnAFreshLine) {
    const std::string text = shown(true, milliseconds(60000), [](ProgressLine& line) {
        line.show("verifying the card", 1u << 20, 2u << 20);
        line.show("done");
    });
    EXPECT_EQ(2u, count(text, '\r')) << text;
    EXPECT_EQ(1u, count(text, '\n')) << text;
    EXPECT_EQ('\n', text.back());
    // The shorter second text blanks out what is left of the first.
    const size_t second = text.rfind('\r');
    EXPECT_EQ(second - 1, text.size() - 1 - second - 1) << text;
}

TEST(ProgressLine, SpeedAndTimeLeftOnceThePhaseHasRun) {
    const std::string text = shown(true, milliseconds(60000), [](ProgressLine& line) {
        line.show("writing", 0, 100u << 20);
        sleepMs(600);
        line.show("writing", 50u << 20, 100u << 20);
    });
    EXPECT_NE(std::string::npos, text.find("MiB/s")) << text;
    EXPECT_NE(std::string::npos, text.find(" left")) << text;
}

TEST(ProgressLine, SpeedCountsOnlyBytesSinceThePhaseWasFirstShown) {
    const std::string text = shown(false, milliseconds(0), [](ProgressLine& line) {
        line.showCount("compressing", 1000u << 20);
        sleepMs(600);
        line.showCount("compressing", 1030u << 20);
    });
    // 30 MiB in at least 0.6 s; counting the first 1000 MiB would say GiB/s.
    EXPECT_NE(std::string::npos, text.find("1.0 GiB so far")) << text;
    const size_t speed = text.find(" MiB/s");
    ASSERT_NE(std::string::npos, speed) << text;
    EXPECT_LT(std::stod(text.substr(text.rfind(' ', speed - 1) + 1)), 51.0) << text;
}

TEST(ProgressLine, TerminalLineFitsItsWidthAndMakesWayForLogLines) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    {
        ProgressLine line(true, milliseconds(60000), 30);
        line.show("verifying the card", 1u << 20, 2u << 20);
        debugLog("job : a log line\n");
        line.show("verifying the card", 2u << 20, 2u << 20);
    }
    const std::string log = testing::internal::GetCapturedStdout();
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ("job : a log line\n", log);
    // Drawn, blanked for the log line, drawn again: no line wider than 29.
    EXPECT_EQ("\r" + std::string(29, ' ') + "\r", text.substr(30, 31)) << text;
    size_t start = 0;
    for (size_t cr = text.find('\r'); cr != std::string::npos; cr = text.find('\r', start)) {
        EXPECT_LE(cr - start, 29u) << text;
        start = cr + 1;
    }
}

}  // namespace

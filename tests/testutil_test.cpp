// The tests' scratch folders: two runs of the same test at the same moment
// (two checkouts, or CI beside a developer) must not touch each other's files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#endif

#include "tests/support/testutil.h"

namespace {

const char* const kReportVariable = "QL_TEMPDIR_REPORT";

// Runs this test program again with one gtest filter; its exit status.
int runThisProgram(const std::string& filter) {
#ifdef _WIN32
    char exe[MAX_PATH];
    if (GetModuleFileNameA(nullptr, exe, sizeof exe) == 0) {
        return -1;
    }
    return static_cast<int>(_spawnl(_P_WAIT, exe, exe, filter.c_str(), nullptr));
#else
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    return std::system(("'" + exe + "' '" + filter + "' >/dev/null").c_str());
#endif
}

void setReportVariable(const std::string& value) {
#ifdef _WIN32
    _putenv_s(kReportVariable, value.c_str());  // "" removes it
#else
    if (value.empty()) {
        unsetenv(kReportVariable);
    } else {
        setenv(kReportVariable, value.c_str(), 1);
    }
#endif
}

// First in this program, so that its folder is the first one of the process,
// exactly as in the second run it starts.
TEST(TempDirTest, AnotherRunOfTheSameTestLeavesThisOnesFilesAlone) {
    testutil::TempDir dir;
    if (const char* report = std::getenv(kReportVariable)) {
        // The second run: it only tells the first where its folder was.
        testutil::writeText(report, dir.path());
        return;
    }
    const std::string mine = dir.file("mine.txt");
    testutil::writeText(mine, "first run");
    const std::string report = dir.file("report.txt");
    setReportVariable(report);
    const int status = runThisProgram("--gtest_filter=TempDirTest.*");
    setReportVariable("");
    ASSERT_EQ(status, 0);

    EXPECT_TRUE(testutil::fileExists(mine)) << "the second run removed the first one's file";
    const std::vector<uint8_t> bytes = testutil::readFile(report);
    const std::string other(bytes.begin(), bytes.end());
    ASSERT_FALSE(other.empty());
    EXPECT_NE(other, dir.path());
    EXPECT_FALSE(testutil::fileExists(other)) << "the second run left its folder behind";
    EXPECT_FALSE(testutil::fileExists(std::filesystem::path(other).parent_path().string()));
}

}  // namespace

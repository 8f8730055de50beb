// The released zip as a user meets it: QuillonUpdate.exe started from the
// folder it was unpacked into (QL_APP_EXE), with qlupdate.exe and
// LICENSES.txt beside it, and QL_EXPECT_VERSION the release's version.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/ui/harness.h"

namespace fs = std::filesystem;
using namespace ui;

namespace {

std::string beside(const std::string& name) {
    return (fs::path(gAppExe).parent_path() / name).string();
}

std::string versionValue(const std::vector<char>& info, const char* name) {
    char* value = nullptr;
    UINT size = 0;
    const std::string key = std::string("\\StringFileInfo\\041104B0\\") + name;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &size) ||
        size == 0) {
        return "";
    }
    return std::string(value);
}

// What Properties > Details shows, from the files as unpacked.
TEST(Release, BothExecutablesCarryTheReleaseVersion) {
    const char* expected = std::getenv("QL_EXPECT_VERSION");
    ASSERT_NE(expected, nullptr);
    for (const char* exe : {"QuillonUpdate.exe", "qlupdate.exe"}) {
        SCOPED_TRACE(exe);
        const std::string path = beside(exe);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << "no version resource";
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
        EXPECT_EQ(versionValue(info, "FileVersion"), expected);
        EXPECT_EQ(versionValue(info, "ProductVersion"), expected);
        EXPECT_EQ(versionValue(info, "ProductName"), "Quillon Update Tool");
        EXPECT_EQ(versionValue(info, "CompanyName"), "Quillon Project");
        EXPECT_EQ(versionValue(info, "LegalCopyright"), "Copyright (C) 2026 Quillon Project");
        EXPECT_EQ(versionValue(info, "OriginalFilename"), exe);
        EXPECT_EQ(versionValue(info, "FileDescription").rfind("Quillon ZR-7040 ", 0), 0u);

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                    std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                    std::to_string(HIWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(numbers, expected);
    }
}

class InstalledApp : public ::testing::Test {
protected:
    void SetUp() override {
        std::error_code ec;
        fs::remove(beside("QuillonUpdate.ini"), ec);
        main = app.startAndFindWindow();
        ASSERT_NE(main, nullptr);
    }
    void close() {
        PostMessageA(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(app.waitForExit(), 0);
    }

    TempFolder scratch;
    App app{App::InPlace{gAppExe}, scratch};
    HWND main = nullptr;
};

// The settings file goes beside the program once an update is asked for,
// whatever the checks after it say.
TEST_F(InstalledApp, KeepsItsSettingsBesideItself) {
    const std::string updateFile = beside("LICENSES.txt");
    SendMessageA(GetDlgItem(main, 4), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(updateFile.c_str()));
    clickButton(main, 7);
    // Each box is answered No where it asks, else OK: nothing is started.
    for (HWND box; (box = waitForWindow(app.id(), "#32770", nullptr, 3000)) != nullptr;) {
        const Box read = readBox(box);
        screenshot("release-box.png", box);
        const bool asks =
            std::find(read.buttons.begin(), read.buttons.end(), IDNO) != read.buttons.end();
        clickButton(box, asks ? IDNO : read.buttons.empty() ? IDOK : read.buttons.front());
        ASSERT_TRUE(waitFor([&] { return !IsWindow(box); })) << read.text;
    }
    close();
    const std::string ini = beside("QuillonUpdate.ini");
    ASSERT_TRUE(fs::exists(ini)) << "no settings file beside the program";
    EXPECT_EQ(profileValue(ini, "IMAGEFILE", "ImageFilePath"), updateFile);
}

// The licence window shows what LICENSES.txt holds, line for line.
TEST_F(InstalledApp, LicenceWindowShowsTheShippedTexts) {
    chooseMenu(main, 1, 2);
    HWND window = waitForWindow(app.id(), "UMLicenseWindowClass", "LICENSES");
    ASSERT_NE(window, nullptr);
    screenshot("release-licences.png", window);
    // The window indents each line by one space and starts with an empty one.
    std::string expected = "\r\n ";
    for (const char c : readFile(beside("LICENSES.txt"))) {
        expected += c;
        if (c == '\n') {
            expected += ' ';
        }
    }
    EXPECT_GT(expected.size(), 10000u);
    EXPECT_EQ(windowText(GetDlgItem(window, 801)), expected);
    clickButton(window, 802);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(window); }));
    close();
}

}  // namespace

int main(int argc, char** argv) {
    return runTests(argc, argv);
}

// Drives QuillonUpdate.exe as a user would: starts a copy in a folder of its
// own beside a prepared settings file, looks at its window from outside,
// types and clicks, and reads the exit code. Runs under Wine on a private
// virtual desktop (run-ui-test.sh); texts are compared as CP932 bytes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/ui/harness.h"

using namespace ui;
namespace fs = std::filesystem;

namespace {

// Waits for the console window and moves it below the main window, as a
// user would, so that it covers nothing the test clicks.
bool consoleAppears() {
    HWND console = nullptr;
    if (!waitFor([&] { return (console = findConsoleWindow()) != nullptr; })) {
        return false;
    }
    SetWindowPos(console, nullptr, 0, 300, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return true;
}

// Wine drops the last byte of CB_GETLBTEXT in its ANSI form across
// processes; the wide form converted to CP932 gives the same bytes.
std::string driveBoxEntry(HWND box, LRESULT index) {
    wchar_t wide[64] = L"";
    char buf[128] = "";
    if (index != CB_ERR &&
        SendMessageW(box, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(wide)) != CB_ERR) {
        WideCharToMultiByte(932, 0, wide, -1, buf, sizeof buf, nullptr, nullptr);
    }
    return buf;
}

std::vector<std::string> driveBoxEntries(HWND box) {
    std::vector<std::string> out;
    for (LRESULT i = 0, n = SendMessageA(box, CB_GETCOUNT, 0, 0); i < n; ++i) {
        out.push_back(driveBoxEntry(box, i));
    }
    return out;
}

std::string selectedDrive(HWND box) {
    return driveBoxEntry(box, SendMessageA(box, CB_GETCURSEL, 0, 0));
}

// The console's text, read by a helper copy of this driver: attaching to a
// console means giving up one's own.
std::string consoleText(DWORD appPid, const TempFolder& folder) {
    const std::string outFile = folder.file("console.txt");
    std::string cmd =
        "\"" + gSelfExe + "\" --read-console " + std::to_string(appPid) + " \"" + outFile + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &si, &pi)) {
        return "";
    }
    WaitForSingleObject(pi.hProcess, 20000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return readFile(outFile);
}

int readConsoleMain(DWORD pid, const char* outFile) {
    FreeConsole();
    if (!AttachConsole(pid)) {
        return 2;
    }
    HANDLE screen =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info)) {
        return 3;
    }
    std::string text;
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        std::string line(info.dwSize.X, ' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterA(screen, &line[0], info.dwSize.X, {0, y}, &read);
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    CloseHandle(screen);
    writeFile(outFile, text);
    return 0;
}

// ---- resources, read from the file ----

TEST(Resources, MenuHasTheItemsAndCommandIds) {
    HMODULE exe = LoadLibraryExA(gAppExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    HMENU menu = LoadMenuA(exe, MAKEINTRESOURCEA(102));
    ASSERT_NE(menu, nullptr);
    // Item text and id; no text means a separator.
    const std::vector<std::pair<const char*, UINT>> expected[] = {
        {{"ファイル", 0},
         {"開く", 4001},
         {nullptr, 0},
         {"SDカード接続チェック", 4002},
         {nullptr, 0},
         {"終了", 4003}},
        {{"ヘルプ", 0},
         {"ヘルプ", 4011},
         {nullptr, 0},
         {"COPYRIGHT", 4013},
         {nullptr, 0},
         {"LICENSES", 4014}},
    };
    ASSERT_EQ(GetMenuItemCount(menu), 2);
    char text[128];
    for (int m = 0; m < 2; ++m) {
        GetMenuStringA(menu, m, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, expected[m][0].first);
        HMENU popup = GetSubMenu(menu, m);
        ASSERT_EQ(GetMenuItemCount(popup), static_cast<int>(expected[m].size()) - 1);
        for (UINT i = 0; i + 1 < expected[m].size(); ++i) {
            const auto& want = expected[m][i + 1];
            MENUITEMINFOA info = {};
            info.cbSize = sizeof info;
            info.fMask = MIIM_FTYPE | MIIM_ID;
            ASSERT_TRUE(GetMenuItemInfoA(popup, i, TRUE, &info));
            EXPECT_EQ((info.fType & MFT_SEPARATOR) != 0, want.first == nullptr) << m << "/" << i;
            if (want.first != nullptr) {
                GetMenuStringA(popup, i, text, sizeof text, MF_BYPOSITION);
                EXPECT_STREQ(text, want.first);
                EXPECT_EQ(info.wID, want.second) << want.first;
            }
        }
    }
    DestroyMenu(menu);
    FreeLibrary(exe);
}

TEST(Resources, IconHasSmallAndLargeImagesAndManifestAsksForAdminAndControls6) {
    HMODULE exe = LoadLibraryExA(gAppExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    for (int size : {16, 32, 48}) {
        HICON icon =
            static_cast<HICON>(LoadImageA(exe, MAKEINTRESOURCEA(100), IMAGE_ICON, size, size, 0));
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info;
        BITMAP bm = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        GetObjectA(info.hbmColor, sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth, size);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    HRSRC res = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_NE(res, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(exe, res))),
                               SizeofResource(exe, res));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    FreeLibrary(exe);
}

// ---- the main window and its controls ----

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(folder.file("QuillonUpdate.ini"), iniText(kStoredPath, "g:"));
        window = app.startAndFindWindow();
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(app.waitForExit(), 0);
    }

    static constexpr const char* kStoredPath = "C:\\アップデート\\quillon-2.1.bin";
    TempFolder folder;
    App app{folder};
    HWND window = nullptr;
};

TEST_F(MainWindowTest, IsAFixedSizeWindowWithMenuAndMinimiseBoxOnly) {
    EXPECT_EQ(FindWindowA(kClass, kTitle), window);
    RECT r;
    GetWindowRect(window, &r);
    EXPECT_EQ(r.right - r.left, 700);
    EXPECT_EQ(r.bottom - r.top, 280);
    const LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    // No edge to drag: the corner is plain border.
    EXPECT_EQ(SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(r.right - 1, r.bottom - 1)),
              HTBORDER);
    EXPECT_NE(GetMenu(window), nullptr);
    screenshot("main-window.png", window);
}

TEST_F(MainWindowTest, HasTheEightControlsWithTheirIdsTextsStylesAndPlaces) {
    const LONG base = WS_CHILD | WS_VISIBLE;
    const struct {
        int id;
        const char* cls;
        const char* text;
        int x, y, w, h;
        LONG style;
    } table[] = {
        {1, "Static", "ドライブ名", 20, 20, 80, 40, base},
        {2, "ComboBox", "G:", 120, 20, 100, 20,
         base | WS_CLIPSIBLINGS | WS_VSCROLL | CBS_AUTOHSCROLL | CBS_DROPDOWNLIST},
        {3, "Static", "アップデート\nファイル", 20, 60, 80, 40, base},
        {4, "Edit", kStoredPath, 120, 60, 360, 18, base | WS_BORDER | ES_AUTOHSCROLL},
        {5, "Button", "ファイル選択", 500, 60, 120, 26, base | BS_PUSHBUTTON},
        {10, "Button", "アップデート", 20, 120, 640, 80, base | BS_GROUPBOX},
        {8, "Static", "アップデートファイルをQuillonのシステムに適用します。", 40, 140, 600, 40,
         base | WS_GROUP},
        {7, "Button", "アップデート開始", 500, 150, 120, 26, base | BS_PUSHBUTTON},
    };
    // Children in creation order; there are exactly eight.
    HWND c = GetWindow(window, GW_CHILD);
    for (const auto& e : table) {
        SCOPED_TRACE("control " + std::to_string(e.id));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(GetDlgCtrlID(c), e.id);
        EXPECT_EQ(_stricmp(className(c).c_str(), e.cls), 0) << className(c);
        EXPECT_EQ(windowText(c), e.text);
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, e.x);
        EXPECT_EQ(r.top, e.y);
        EXPECT_EQ(r.right - r.left, e.w);
        LONG style = GetWindowLongA(c, GWL_STYLE);
        if (e.id == 2) {
            // A drop-down list takes its height from its font and hands its
            // scroll bar to the list window (checked below).
            EXPECT_NEAR(r.bottom - r.top, e.h, 6);
            style |= WS_VSCROLL;
        } else {
            EXPECT_EQ(r.bottom - r.top, e.h);
        }
        if (e.id == 4) {
            style |= WS_BORDER;  // the edit control draws this border itself and clears the bit
        }
        EXPECT_EQ(style, e.style) << std::hex << style;
        EXPECT_EQ(GetWindowLongA(c, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY, 0);
        c = GetWindow(c, GW_HWNDNEXT);
    }
    EXPECT_EQ(c, nullptr) << "more than eight controls";
    HWND list = findWindowOf(app.id(), "ComboLBox");
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(GetWindowLongA(list, GWL_STYLE) & WS_VSCROLL);
}

TEST_F(MainWindowTest, DriveBoxListsExactlyTheRemovableDrivesAndSelectsTheStoredOne) {
    // What Wine reports for A: to Y:. The prefix makes A: E: G: Y: removable
    // and D: fixed, so this is not a comparison of two empty lists.
    std::vector<std::string> removable;
    for (char d = 'A'; d <= 'Y'; ++d) {
        if (GetDriveTypeA((std::string(1, d) + ":\\").c_str()) == DRIVE_REMOVABLE) {
            removable.push_back(std::string(1, d) + ":");
        }
    }
    ASSERT_EQ(removable, (std::vector<std::string>{"A:", "E:", "G:", "Y:"}));
    HWND box = GetDlgItem(window, 2);
    EXPECT_EQ(driveBoxEntries(box), removable);
    EXPECT_EQ(selectedDrive(box), "G:") << "stored as g:";
}

// ---- the settings file beside the program ----

struct DriveCase {
    const char* stored;
    const char* selected;
};
void PrintTo(const DriveCase& c, std::ostream* os) {
    *os << "stored \"" << c.stored << "\"";
}

class StoredDrive : public ::testing::TestWithParam<DriveCase> {};

TEST_P(StoredDrive, SelectsThatEntryElseTheFirst) {
    TempFolder folder;
    writeFile(folder.file("QuillonUpdate.ini"), iniText("", GetParam().stored));
    App app(folder);
    HWND window = app.startAndFindWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(selectedDrive(GetDlgItem(window, 2)), GetParam().selected);
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.waitForExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Settings, StoredDrive,
                         ::testing::Values(DriveCase{"Y:", "Y:"},  // the last entry
                                           DriveCase{"e:", "E:"},  // either case
                                           DriveCase{"Z:", "A:"},  // never listed
                                           DriveCase{"D:", "A:"},  // a fixed drive
                                           DriveCase{"E", "A:"}    // whole entries only
                                           ));

TEST(Settings, FirstRunShowsNothingStoredAndCreatesNoFile) {
    TempFolder folder;
    App app(folder);
    HWND window = app.startAndFindWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowText(GetDlgItem(window, 4)), "");
    EXPECT_EQ(selectedDrive(GetDlgItem(window, 2)), "A:");
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.waitForExit(), 0);
    EXPECT_FALSE(fs::exists(folder.file("QuillonUpdate.ini")));
}

TEST(Settings, StoredPathIsShownAndWrittenBackCutTo259Characters) {
    TempFolder folder;
    std::string longPath = "C:\\";
    while (longPath.size() < 300) {
        longPath += "quillon\\";
    }
    const std::string ini = folder.file("QuillonUpdate.ini");
    writeFile(ini, iniText(longPath, "E:"));
    App app(folder);
    HWND window = app.startAndFindWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowText(GetDlgItem(window, 4)), longPath.substr(0, 259));
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.waitForExit(), 0);
    EXPECT_EQ(profileValue(ini, "IMAGEFILE", "ImageFilePath"), longPath.substr(0, 259));
    EXPECT_EQ(profileValue(ini, "DRIVE", "DriveName"), "E:");
}

TEST(Settings, JapanesePathKeepsItsBytes) {
    TempFolder folder;
    const std::string path = "D:\\ダウンロード\\表示テスト\\quillon.bin";  // 表 and 示 end in 0x5C
    const std::string ini = folder.file("QuillonUpdate.ini");
    writeFile(ini, iniText(path, "G:"));
    App app(folder);
    HWND window = app.startAndFindWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowText(GetDlgItem(window, 4)), path);
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.waitForExit(), 0);
    EXPECT_EQ(profileValue(ini, "IMAGEFILE", "ImageFilePath"), path);
}

// ---- one copy only ----

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override {
        first = firstApp.startAndFindWindow();
        ASSERT_NE(first, nullptr);
    }
    void TearDown() override {
        PostMessageA(first, WM_CLOSE, 0, 0);
        EXPECT_EQ(firstApp.waitForExit(), 0);
    }
    long startSecond() {
        App second(folder, "-second");
        EXPECT_TRUE(second.start());
        const long code = second.waitForExit();
        EXPECT_EQ(second.output(), "") << "the second copy got as far as a window";
        return code;
    }

    TempFolder folder;
    App firstApp{folder};
    HWND first = nullptr;
};

TEST_F(SingleInstance, SecondStartEndsWithCode1AndBringsTheFirstForward) {
    HWND other = CreateWindowExA(0, "STATIC", "in front", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 300,
                                 300, 300, 200, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    ASSERT_TRUE(waitFor([&] { return GetForegroundWindow() == other; }));
    EXPECT_EQ(startSecond(), 1);
    EXPECT_TRUE(waitFor([&] { return GetForegroundWindow() == first; }));
    DestroyWindow(other);
}

TEST_F(SingleInstance, SecondStartRestoresAMinimisedFirst) {
    SendMessageA(first, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_TRUE(waitFor([&] { return IsIconic(first) != FALSE; }));
    EXPECT_EQ(startSecond(), 1);
    EXPECT_TRUE(waitFor([&] { return IsIconic(first) == FALSE; }));
}

TEST(SingleInstanceLookalikes, ClassOrTitleAloneIsNotARunningCopy) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClass;
    ASSERT_NE(RegisterClassA(&wc), 0);
    // Gone again even when the test fails, or every later start would see them.
    struct Lookalikes {
        HWND sameClass = CreateWindowExA(0, kClass, "Another Tool", WS_OVERLAPPED, 0, 0, 100, 100,
                                         nullptr, nullptr, nullptr, nullptr);
        HWND sameTitle = CreateWindowExA(0, "STATIC", kTitle, WS_OVERLAPPED, 0, 0, 100, 100,
                                         nullptr, nullptr, nullptr, nullptr);
        ~Lookalikes() {
            DestroyWindow(sameClass);
            DestroyWindow(sameTitle);
            UnregisterClassA(kClass, GetModuleHandleA(nullptr));
        }
    } lookalikes;
    TempFolder folder;
    App app(folder);
    HWND window = app.startAndFindWindow();
    ASSERT_NE(window, nullptr);
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.waitForExit(), 0);
}

// ---- menu, keys and close box ----

class UserTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = app.startAndFindWindow();
        ASSERT_NE(window, nullptr);
        activate(window);
    }

    TempFolder folder;
    App app{folder};
    HWND window = nullptr;
};

TEST_F(UserTest, MenuExitEndsWithCode0) {
    // Alt selects the menu bar, Down opens "ファイル", Up wraps to its last item.
    sendKeys({VK_MENU});
    sendKeys({VK_DOWN});
    ASSERT_TRUE(waitFor([] { return FindWindowA("#32768", nullptr) != nullptr; }))
        << "the file menu did not open";
    sendKeys({VK_UP});
    screenshot("main-window-file-menu.png", window);
    sendKeys({VK_RETURN});
    EXPECT_EQ(app.waitForExit(), 0);
    EXPECT_EQ(app.output(),
              "mainwindow : MainWindowProc 1 (create)\nmainwindow : commandProc 4003\n");
}

TEST_F(UserTest, ShiftF1TogglesTheLogConsoleAndTheCloseBoxEndsWithCode0) {
    sendKeys({VK_F1});
    Sleep(1000);
    EXPECT_EQ(findConsoleWindow(), nullptr) << "F1 alone opened a console";

    // Twice: the second opening follows a close of standard output.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("opening " + std::to_string(round + 1));
        activate(window);
        sendKeys({VK_SHIFT, VK_F1});
        ASSERT_TRUE(consoleAppears()) << "Shift+F1 opened no console";
        // Editing the path box sends command 4, whose trace the console shows.
        SendMessageA(GetDlgItem(window, 4), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(round == 0 ? "x" : "y"));
        std::string text;
        EXPECT_TRUE(waitFor([&] {
            text = consoleText(app.id(), folder);
            return text.find("mainwindow : commandProc 4") != std::string::npos;
        })) << text;
        if (round == 0) {
            screenshot("debug-console.png", nullptr);
            activate(window);
            sendKeys({VK_SHIFT, VK_F1});
            EXPECT_TRUE(waitFor([] { return findConsoleWindow() == nullptr; }))
                << "a second Shift+F1 left the console open";
        }
    }

    // Ending with the console open closes it too.
    ASSERT_TRUE(closeByCloseBox(window, app.handle())) << "the close box did not end it";
    EXPECT_EQ(app.waitForExit(), 0);
    EXPECT_TRUE(waitFor([] { return findConsoleWindow() == nullptr; }));
    EXPECT_EQ(app.output().find("mainwindow : MainWindowProc 1 (create)\n"), 0u) << app.output();
}

TEST_F(UserTest, CloseBoxEndsWithCode0WithoutACommand) {
    ASSERT_TRUE(closeByCloseBox(window, app.handle())) << "the close box did not end it";
    EXPECT_EQ(app.waitForExit(), 0);
    EXPECT_EQ(app.output(), "mainwindow : MainWindowProc 1 (create)\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--read-console") {
        return readConsoleMain(std::strtoul(argv[2], nullptr, 10), argv[3]);
    }
    return runTests(argc, argv);
}

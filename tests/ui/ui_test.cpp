// Drives QuillonUpdate.exe as a user would: starts a copy in a folder of its
// own beside a prepared settings file, looks at its window from outside,
// types and clicks, and reads the exit code. Runs under Wine on a private
// virtual desktop (run-ui-test.sh); texts are compared as CP932 bytes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kClass[] = "UMMainWindowClass";
const char kTitle[] = "Quillon Update Tool";

std::string gDesktop;  // the private desktop all windows of the test live on
std::string gAppExe;   // the program under test
std::string gSelfExe;  // this driver, for its console-reading mode
std::string gShotDir;  // host folder for screenshots; empty: none taken

bool waitFor(const std::function<bool()>& condition, DWORD timeoutMs = 10000) {
    for (const ULONGLONG end = GetTickCount64() + timeoutMs; !condition(); Sleep(50)) {
        if (GetTickCount64() > end) {
            return false;
        }
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string windowText(HWND window) {
    char buf[1024] = "";
    SendMessageA(window, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf));
    return buf;
}

std::string className(HWND window) {
    char buf[256] = "";
    GetClassNameA(window, buf, sizeof buf);
    return buf;
}

std::vector<HWND> topLevelWindows() {
    std::vector<HWND> out;
    EnumWindows(
        [](HWND h, LPARAM p) {
            reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&out));
    return out;
}

HWND findWindowOf(DWORD pid, const std::string& cls) {
    for (HWND h : topLevelWindows()) {
        DWORD owner = 0;
        GetWindowThreadProcessId(h, &owner);
        if (owner == pid && className(h) == cls) {
            return h;
        }
    }
    return nullptr;
}

// Wine's console window, or Windows' own.
HWND findConsoleWindow() {
    for (HWND h : topLevelWindows()) {
        const std::string c = className(h);
        if ((c == "WineConsoleClass" || c == "ConsoleWindowClass") && IsWindowVisible(h)) {
            return h;
        }
    }
    return nullptr;
}

// ---- the user's keyboard and mouse ----

void sendKeys(std::initializer_list<WORD> down) {
    std::vector<INPUT> in;
    for (int up = 0; up < 2; ++up) {
        for (WORD key : down) {
            INPUT i = {};
            i.type = INPUT_KEYBOARD;
            i.ki.wVk = key;
            i.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
            in.push_back(i);
        }
    }
    SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
    Sleep(300);
}

// Asks the window where its close box is and clicks there.
bool clickCloseBox(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    for (int y = r.top + 4; y < r.top + 40; y += 2) {
        for (int x = r.right - 6; x > r.right - 80; x -= 2) {
            if (SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE) {
                SetCursorPos(x - 3, y + 3);
                INPUT in[2] = {};
                in[0].type = in[1].type = INPUT_MOUSE;
                in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
                in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
                SendInput(2, in, sizeof(INPUT));
                return true;
            }
        }
    }
    return false;
}

// Brings the window forward until it keeps the keyboard focus itself for a
// moment: a console that is still opening may take it back.
void activate(HWND window) {
    const auto focused = [&] {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        return GetForegroundWindow() == window &&
               GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) &&
               info.hwndFocus == window;
    };
    int steady = 0;
    ASSERT_TRUE(waitFor([&] {
        if (!focused()) {
            steady = 0;
            SetForegroundWindow(window);
            return false;
        }
        return ++steady == 10;
    })) << "the main window did not keep the keyboard focus";
}

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

// Clicks the close box until the process ends (at most three times: Wine's
// console may take the focus back from under the click).
bool closeByCloseBox(HWND window, HANDLE process) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        activate(window);
        if (!clickCloseBox(window)) {
            return false;
        }
        if (WaitForSingleObject(process, 3000) == WAIT_OBJECT_0) {
            return true;
        }
    }
    return false;
}

// ---- screenshots with ImageMagick, a host program that Wine can start ----

void screenshot(const std::string& name, HWND window) {
    if (gShotDir.empty() || !fs::exists("Z:\\usr\\bin\\import")) {
        return;
    }
    fs::create_directories("Z:" + gShotDir);
    Sleep(700);  // let every window finish painting
    std::string crop;
    if (window != nullptr) {
        RECT r;
        GetWindowRect(window, &r);
        crop = " -crop " + std::to_string(r.right - r.left) + "x" +
               std::to_string(r.bottom - r.top) + "+" + std::to_string(r.left) + "+" +
               std::to_string(r.top) + " +repage";
    }
    // Wine cannot wait for a host process: the file gets its name only once
    // import has written all of it.
    const std::string target = gShotDir + "/" + name;
    std::string cmd = "/bin/sh -c \"/usr/bin/import -window root" + crop + " png:'" + target +
                      ".part' && mv '" + target + ".part' '" + target + "'\"";
    fs::remove("Z:" + target);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(
        CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_TRUE(waitFor([&] { return fs::exists("Z:" + target); }, 20000)) << cmd;
}

// ---- one copy of the program in a folder of its own ----

struct TempFolder {
    TempFolder() {
        static int counter = 0;
        path = (fs::temp_directory_path() /
                ("qlui-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++)))
                   .string();
        fs::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "\\" + name; }
    std::string path;
};

class App {
public:
    explicit App(const TempFolder& folder, const std::string& tag = "")
        : exe(folder.file("QuillonUpdate.exe")), out(folder.file("stdout" + tag + ".txt")) {
        fs::copy_file(gAppExe, exe, fs::copy_options::skip_existing);
    }
    ~App() {
        if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process, 99);  // a failed test must not leave it behind
        }
        CloseHandle(process);
    }

    // Started as Explorer starts it: no console; output into a file.
    bool start() {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE file = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                                  0, nullptr);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.lpDesktop = &gDesktop[0];
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = file;
        std::string cmd = "\"" + exe + "\"";
        PROCESS_INFORMATION pi;
        const BOOL ok = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                       nullptr, nullptr, &si, &pi);
        CloseHandle(file);
        if (ok) {
            CloseHandle(pi.hThread);
            process = pi.hProcess;
            pid = pi.dwProcessId;
        }
        return ok;
    }

    HWND startAndFindWindow() {
        HWND found = nullptr;
        EXPECT_TRUE(start());
        EXPECT_TRUE(waitFor(
            [&] {
                found = findWindowOf(pid, kClass);
                return (found != nullptr && IsWindowVisible(found)) ||
                       WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
            },
            30000));
        EXPECT_NE(found, nullptr) << "no main window appeared";
        return found;
    }

    // Exit code, or -1 when it does not end within 20 s.
    long waitForExit() {
        DWORD code = 0;
        if (WaitForSingleObject(process, 20000) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process, &code)) {
            return -1;
        }
        return static_cast<long>(code);
    }

    // The runtime writes "\n" to a file as CRLF; compare in "\n".
    std::string output() const {
        std::string text = readFile(out);
        for (size_t p = text.find('\r'); p != std::string::npos; p = text.find('\r', p)) {
            text.erase(p, 1);
        }
        return text;
    }
    DWORD id() const { return pid; }
    HANDLE handle() const { return process; }

private:
    std::string exe;
    std::string out;
    HANDLE process = nullptr;
    DWORD pid = 0;
};

std::string iniText(const std::string& imagePath, const std::string& driveName) {
    std::string text;
    if (!imagePath.empty()) {
        text += "[IMAGEFILE]\r\nImageFilePath=" + imagePath + "\r\n";
    }
    if (!driveName.empty()) {
        text += "[DRIVE]\r\nDriveName=" + driveName + "\r\n";
    }
    return text;
}

std::string profileValue(const std::string& ini, const char* section, const char* key) {
    char buf[1024] = "";
    GetPrivateProfileStringA(section, key, "", buf, sizeof buf, ini.c_str());
    return buf;
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

// A desktop of our own keeps other runs' windows out of FindWindow.
bool enterPrivateDesktop() {
    gDesktop = "QuillonUiTest" + std::to_string(GetCurrentProcessId());
    // Wine shows a named desktop as a virtual screen of the size given here.
    RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Wine\\Explorer\\Desktops", gDesktop.c_str(),
                    REG_SZ, "1024x768", 9);
    HDESK desk = CreateDesktopA(gDesktop.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    return desk != nullptr && SetThreadDesktop(desk);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--read-console") {
        return readConsoleMain(std::strtoul(argv[2], nullptr, 10), argv[3]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    gSelfExe = self;
    const char* app = std::getenv("QL_APP_EXE");  // host paths, as CMake knows them
    const char* shots = std::getenv("QL_SCREENSHOT_DIR");
    if (app == nullptr || !enterPrivateDesktop()) {
        std::fprintf(stderr, "ui_test: needs QL_APP_EXE and a desktop of its own\n");
        return 2;
    }
    gAppExe = fs::path(std::string("Z:") + app).make_preferred().string();
    gShotDir = shots != nullptr ? shots : "";
    const int result = RUN_ALL_TESTS();
    RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Wine\\Explorer\\Desktops", gDesktop.c_str());
    return result;
}

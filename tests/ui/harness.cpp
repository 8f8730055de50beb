#include "tests/ui/harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace ui {

std::string gDesktop;
std::string gAppExe;
std::string gSelfExe;
std::string gShotDir;

const char kClass[] = "UMMainWindowClass";
const char kTitle[] = "Quillon Update Tool";

bool waitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
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
    std::string text(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0) + 1, '\0');
    text.resize(SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0])));
    return text;
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

HWND findWindowOf(DWORD pid, const std::string& cls, const char* caption) {
    for (HWND h : topLevelWindows()) {
        DWORD owner = 0;
        GetWindowThreadProcessId(h, &owner);
        if (owner == pid && className(h) == cls &&
            (caption == nullptr || windowText(h) == caption)) {
            return h;
        }
    }
    return nullptr;
}

HWND findConsoleWindow() {
    for (HWND h : topLevelWindows()) {
        const std::string c = className(h);
        if ((c == "WineConsoleClass" || c == "ConsoleWindowClass") && IsWindowVisible(h)) {
            return h;
        }
    }
    return nullptr;
}

HWND waitForWindow(DWORD pid, const std::string& cls, const char* caption, DWORD timeoutMs) {
    HWND found = nullptr;
    waitFor(
        [&] {
            found = findWindowOf(pid, cls, caption);
            return found != nullptr && IsWindowVisible(found);
        },
        timeoutMs);
    return found != nullptr && IsWindowVisible(found) ? found : nullptr;
}

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

namespace {

// Each event carries the position: a button event alone may still be
// delivered where the pointer was before a SetCursorPos.
void clickAt(int x, int y) {
    const int w = GetSystemMetrics(SM_CXSCREEN);
    const int h = GetSystemMetrics(SM_CYSCREEN);
    for (DWORD flags : {0, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP}) {
        INPUT in = {};
        in.type = INPUT_MOUSE;
        in.mi.dx = (x * 65536 + w / 2) / w;
        in.mi.dy = (y * 65536 + h / 2) / h;
        in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | flags;
        SendInput(1, &in, sizeof(INPUT));
        Sleep(30);
    }
}

}  // namespace

void click(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    clickAt((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

void clickButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    ASSERT_NE(button, nullptr) << "no control " << id;
    click(button);
}

bool clickCloseBox(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    for (int y = r.top + 4; y < r.top + 40; y += 2) {
        for (int x = r.right - 6; x > r.right - 80; x -= 2) {
            if (SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE) {
                clickAt(x - 3, y + 3);
                return true;
            }
        }
    }
    return false;
}

// A console that is still opening may take the focus back: wait until the
// window has kept it for a moment.
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
    })) << "the window did not keep the keyboard focus";
}

// At most three times: Wine's console may take the focus back from under
// the click.
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

void chooseMenu(HWND window, int menu, int item) {
    activate(window);
    sendKeys({VK_MENU});
    for (int i = 0; i < menu; ++i) {
        sendKeys({VK_RIGHT});
    }
    sendKeys({VK_DOWN});
    ASSERT_TRUE(waitFor([] { return FindWindowA("#32768", nullptr) != nullptr; }))
        << "menu " << menu << " did not open";
    for (int i = 0; i < item; ++i) {
        sendKeys({VK_DOWN});
    }
    sendKeys({VK_RETURN});
}

Box readBox(HWND box) {
    Box b;
    b.caption = windowText(box);
    if (HWND text = GetDlgItem(box, 0xFFFF)) {
        b.text = windowText(text);
    }
    for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        if (_stricmp(className(c).c_str(), "Button") == 0 && IsWindowVisible(c)) {
            b.buttons.push_back(GetDlgCtrlID(c));
        }
    }
    return b;
}

std::vector<DWORD> grab(const RECT& r) {
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    std::vector<DWORD> pixels(static_cast<size_t>(w) * h);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        std::memcpy(pixels.data(), bits, pixels.size() * sizeof(DWORD));
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

int pixelsOf(HWND window, COLORREF colour) {
    RECT r;
    GetWindowRect(window, &r);
    const DWORD want = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
    int n = 0;
    for (DWORD p : grab(r)) {
        n += (p & 0xFFFFFF) == want;
    }
    return n;
}

// Grabbed at once, so that the picture shows the moment of the call; saved
// as a 24-bit BMP that ImageMagick, a host program Wine can start, turns
// into the PNG.
void screenshot(const std::string& name, HWND window, DWORD settleMs) {
    if (gShotDir.empty() || !fs::exists("Z:\\usr\\bin\\convert")) {
        return;
    }
    Sleep(settleMs);
    RECT r = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (window != nullptr) {
        GetWindowRect(window, &r);
    }
    const std::vector<DWORD> pixels = grab(r);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    const int stride = (w * 3 + 3) & ~3;
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER info = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + stride * h;
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = -h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    std::string bmp(reinterpret_cast<const char*>(&file), sizeof file);
    bmp.append(reinterpret_cast<const char*>(&info), sizeof info);
    for (int y = 0; y < h; ++y) {
        std::string row(stride, '\0');
        for (int x = 0; x < w; ++x) {
            std::memcpy(&row[x * 3], &pixels[static_cast<size_t>(y) * w + x], 3);
        }
        bmp += row;
    }
    const std::string target = gShotDir + "/" + name;
    fs::create_directories(fs::path("Z:" + target).parent_path());
    writeFile("Z:" + target + ".bmp", bmp);
    fs::remove("Z:" + target);
    // Wine cannot wait for a host process: the file gets its name only once
    // it is complete.
    std::string cmd = "/bin/sh -c \"/usr/bin/convert 'bmp:" + target + ".bmp' 'png:" + target +
                      ".part' && mv '" + target + ".part' '" + target + "'; rm -f '" + target +
                      ".bmp'\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(
        CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_TRUE(waitFor([&] { return fs::exists("Z:" + target); }, 20000)) << cmd;
}

// Wine reuses its small process ids from run to run: the start time makes the
// name this run's own, and a folder left by a crashed run is never reused.
TempFolder::TempFolder() {
    static const std::string run =
        std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
    static int counter = 0;
    path = (fs::temp_directory_path() / ("qlui-" + run + "-" + std::to_string(counter++))).string();
    fs::create_directories(path);
}

TempFolder::~TempFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

App::App(const TempFolder& where, const std::string& tag, const std::string& program)
    : folder(where.path), out(where.file("stdout" + tag + ".txt")) {
    const std::string source = program.empty() ? gAppExe : program;
    exe = where.file(fs::path(source).filename().string());
    fs::copy_file(source, exe, fs::copy_options::skip_existing);
}

App::App(const InPlace& installed, const TempFolder& scratch)
    : folder(fs::path(installed.program).parent_path().string()),
      exe(installed.program),
      out(scratch.file("stdout.txt")) {}

App::~App() {
    if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process, 99);  // a failed test must not leave it behind
    }
    CloseHandle(process);
}

void App::setEnv(const std::string& name, const std::string& value) {
    env.emplace_back(name, value);
}

bool App::start() {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE file =
        CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.lpDesktop = &gDesktop[0];
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = file;
    std::string cmd = "\"" + exe + "\"";
    for (const auto& [name, value] : env) {
        SetEnvironmentVariableA(name.c_str(), value.c_str());
    }
    PROCESS_INFORMATION pi;
    const BOOL ok = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                   nullptr, folder.c_str(), &si, &pi);
    for (const auto& entry : env) {
        SetEnvironmentVariableA(entry.first.c_str(), nullptr);
    }
    CloseHandle(file);
    if (ok) {
        CloseHandle(pi.hThread);
        process = pi.hProcess;
        pid = pi.dwProcessId;
    }
    return ok;
}

HWND App::startAndFindWindow() {
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

long App::waitForExit() {
    DWORD code = 0;
    if (WaitForSingleObject(process, 20000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code)) {
        return -1;
    }
    return static_cast<long>(code);
}

// The runtime writes "\n" to a file as CRLF.
std::string App::output() const {
    std::string text = readFile(out);
    for (size_t p = text.find('\r'); p != std::string::npos; p = text.find('\r', p)) {
        text.erase(p, 1);
    }
    return text;
}

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

namespace {

// A desktop of our own keeps other runs' windows out of FindWindow.
bool enterPrivateDesktop() {
    gDesktop = "QuillonUiTest" + std::to_string(GetCurrentProcessId());
    // Wine shows a named desktop as a virtual screen of the size given here,
    // as large at any DPI as 1024 by 768 is at 96.
    const UINT dpi = GetDpiForSystem();
    const std::string size =
        std::to_string(MulDiv(1024, dpi, 96)) + "x" + std::to_string(MulDiv(768, dpi, 96));
    RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Wine\\Explorer\\Desktops", gDesktop.c_str(),
                    REG_SZ, size.c_str(), static_cast<DWORD>(size.size() + 1));
    HDESK desk = CreateDesktopA(gDesktop.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    return desk != nullptr && SetThreadDesktop(desk);
}

}  // namespace

int runTests(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Rectangles and pixels as the program, which is DPI-aware, has them.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    gSelfExe = self;
    const char* app = std::getenv("QL_APP_EXE");  // host paths, as CMake knows them
    const char* shots = std::getenv("QL_SCREENSHOT_DIR");
    if (app == nullptr || !enterPrivateDesktop()) {
        std::fprintf(stderr, "%s: needs QL_APP_EXE and a desktop of its own\n", argv[0]);
        return 2;
    }
    gAppExe = fs::path(std::string("Z:") + app).make_preferred().string();
    gShotDir = shots != nullptr ? shots : "";
    const int result = RUN_ALL_TESTS();
    RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Wine\\Explorer\\Desktops", gDesktop.c_str());
    return result;
}

}  // namespace ui

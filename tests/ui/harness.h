// What the UI drivers share: they start a copy of the program in a folder of
// their own on a private Wine desktop, find its windows from outside, type
// and click as a user would and read texts as CP932 bytes.
#pragma once

#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace ui {

extern std::string gDesktop;  // the private desktop all windows of the test live on
extern std::string gAppExe;   // QuillonUpdate.exe
extern std::string gSelfExe;  // the running driver
extern std::string gShotDir;  // host folder for screenshots; empty: none taken

extern const char kClass[];  // the main window's class and title
extern const char kTitle[];

// Polls every 50 ms; false when condition is still false after timeoutMs.
bool waitFor(const std::function<bool()>& condition, DWORD timeoutMs = 10000);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

std::string windowText(HWND window);
std::string className(HWND window);
std::vector<HWND> topLevelWindows();
// The first top-level window of process pid with class cls (and caption,
// when given), or nullptr.
HWND findWindowOf(DWORD pid, const std::string& cls, const char* caption = nullptr);
// Wine's console window, or Windows' own.
HWND findConsoleWindow();
// Waits for a visible top-level window of pid; nullptr after timeoutMs.
HWND waitForWindow(DWORD pid, const std::string& cls, const char* caption = nullptr,
                   DWORD timeoutMs = 10000);

// ---- the user's keyboard and mouse ----
void sendKeys(std::initializer_list<WORD> down);
// A left click at the centre of window, as the user's mouse does it.
void click(HWND window);
// Clicks the control id of dialog.
void clickButton(HWND dialog, int id);
// Asks the window where its close box is and clicks there.
bool clickCloseBox(HWND window);
// Brings the window forward until it keeps the keyboard focus itself.
void activate(HWND window);
// Clicks the close box until the process ends.
bool closeByCloseBox(HWND window, HANDLE process);
// Chooses a menu item with the keyboard: Alt, then menu to the right, then
// item steps down its popup (separators are skipped).
void chooseMenu(HWND window, int menu, int item);

// A message box or dialog as the user reads it: caption, the static text
// with id 0xFFFF (a message box's text) and the ids of its visible buttons.
struct Box {
    std::string caption;
    std::string text;
    std::vector<int> buttons;
};
Box readBox(HWND box);

// The screen's pixels inside r, row by row from the top, as 0x00RRGGBB.
std::vector<DWORD> grab(const RECT& r);
// How many pixels of window's rectangle on the screen have exactly colour.
int pixelsOf(HWND window, COLORREF colour);
// Saves the screen, or window's rectangle of it, as name (a PNG) in
// gShotDir, after settleMs for the windows to finish painting.
void screenshot(const std::string& name, HWND window, DWORD settleMs = 700);

// ---- one copy of the program in a folder of its own ----

struct TempFolder {
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string file(const std::string& name) const { return path + "\\" + name; }
    std::string path;
};

class App {
public:
    // Copies program (QuillonUpdate.exe unless given) into folder.
    explicit App(const TempFolder& folder, const std::string& tag = "",
                 const std::string& program = "");
    // Runs program where it lies, as a user who unpacked it starts it; its
    // output goes into scratch.
    struct InPlace {
        std::string program;
    };
    App(const InPlace& installed, const TempFolder& scratch);
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Variables the next start passes on, in addition to the driver's own.
    void setEnv(const std::string& name, const std::string& value);
    // Started as Explorer starts it: no console; output into a file; the
    // working directory is the program's folder.
    bool start();
    HWND startAndFindWindow();
    // Exit code, or -1 when it does not end within 20 s.
    long waitForExit();
    // Standard output so far, with "\n" line ends.
    std::string output() const;
    DWORD id() const { return pid; }
    HANDLE handle() const { return process; }

private:
    std::string folder;
    std::string exe;
    std::string out;
    std::vector<std::pair<std::string, std::string>> env;
    HANDLE process = nullptr;
    DWORD pid = 0;
};

std::string iniText(const std::string& imagePath, const std::string& driveName);
std::string profileValue(const std::string& ini, const char* section, const char* key);

// Enters a desktop of the driver's own and reads QL_APP_EXE and
// QL_SCREENSHOT_DIR, then runs the tests.
int runTests(int argc, char** argv);

}  // namespace ui

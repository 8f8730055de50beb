#include "app/mainwindow.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/about.h"
#include "app/dpi.h"
#include "common/messagebox_win.h"
#include "common/common.h"
#include "resources/resource.h"
#include "storage/target.h"
#include "update/jobwatch_win.h"

const char kMainWindowClass[] = "UMMainWindowClass";
const char kMainWindowTitle[] = "Quillon Update Tool";

namespace {

const char kModule[] = "mainwindow";
const char kError[] = "エラー";
// 2 TiB; exactly this size still passes.
constexpr uint64_t kMaxUpdateFileSize = 2199023255552ull;
// Outer size at 96 DPI.
constexpr int kWidth = 700;
constexpr int kHeight = 280;

MainWindow* attachedTo(HWND window) {
    return reinterpret_cast<MainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

}  // namespace

MainWindow::MainWindow() {
    std::memset(&windowClass, 0, sizeof windowClass);
}

MainWindow::~MainWindow() {
    if (consoleOpen) {
        toggleConsole();
    }
}

bool registerWindowClass(WNDCLASSEXA& wc, HINSTANCE instance, WNDPROC proc, const char* className) {
    std::memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
    wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1));
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAINMENU);
    wc.lpszClassName = className;
    return RegisterClassExA(&wc) != 0;
}

bool MainWindow::create(HINSTANCE instance) {
    HWND running = FindWindowA(kMainWindowClass, kMainWindowTitle);
    if (running != nullptr) {
        if (IsIconic(running)) {
            OpenIcon(running);
        } else {
            SetForegroundWindow(running);
        }
        return false;
    }
    if (registerWindowClass(windowClass, instance, MainWindowProc, kMainWindowClass)) {
        // Sized for the system DPI: the window's own is known once it exists.
        const UINT dpi = systemDpi();
        mainWindow = CreateWindowExA(0, windowClass.lpszClassName, kMainWindowTitle,
                                     WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                     CW_USEDEFAULT, dpiScale(kWidth, dpi), dpiScale(kHeight, dpi),
                                     nullptr, nullptr, instance, this);
    }
    if (mainWindow == nullptr) {
        MessageBoxA(nullptr, "プログラムの初期化に失敗しました。", "エラー", MB_ICONWARNING);
        return false;
    }
    ShowWindow(mainWindow, SW_SHOW);
    UpdateWindow(mainWindow);
    return true;
}

void runMessageLoop() {
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool MainWindow::commandProc(HWND window, HINSTANCE instance, unsigned id) {
    // Unlike debugLog: straight to stdout, regardless of the log switch, unflushed.
    std::printf("%s : commandProc %d\n", kModule, static_cast<int>(id));
    switch (id) {
        case kIdSelectButton:
            std::printf("%s : commandProc %d (file select)\n", kModule, static_cast<int>(id));
            [[fallthrough]];
        case IDM_OPEN:
            fileSelector.run(window);
            if (fileSelector.hasFile()) {
                controls.setUpdateFilePath(fileSelector.getFile());
            }
            return true;
        case kIdUpdateButton:
            startUpdate(window);
            return true;
        case IDM_CARD_CHECK:
            controls.refreshDriveList();
            return true;
        case IDM_EXIT:
            return false;
        case IDM_HELP:
            helpLinkDialog.run(window);
            return true;
        case IDM_COPYRIGHT:
            topCentredMessageBox(window, kCopyrightText, "COPYRIGHT", MB_OK);
            return true;
        case IDM_LICENSES:
            licenseWindow.open(window, instance);
            return true;
        default:
            return true;
    }
}

void MainWindow::startUpdate(HWND window) {
    // Copies: the controls' buffers are read again below.
    const std::string path = controls.getUpdateFilePath();
    if (path.empty()) {
        centredMessageBox(window, "コピー元のファイル名が指定されていません。", kError,
                          MB_ICONWARNING);
        return;
    }
    if (!PathFileExistsA(path.c_str())) {
        centredMessageBox(window, "コピー元のファイルがありません。", kError, MB_ICONWARNING);
        return;
    }
    controls.saveUpdateFilePath();
    controls.saveDriveText();
    // A size that cannot be read (a folder, say) reads as too big.
    const uint64_t size = static_cast<uint64_t>(getFileSize(path.c_str()));
    if (size > kMaxUpdateFileSize) {
        centredMessageBox(window, "コピー元のファイルが大きすぎます。", kError, MB_ICONWARNING);
        return;
    }
    const std::string drive = controls.getDriveText();
    char warning[256];
    formatString(warning, sizeof warning,
                 "「%sドライブ」にある「Quillon ZR-7040」のシステムを更新します。\n"
                 "※もしものために事前にバックアップをしておくことを推奨します。\n"
                 "処理を続行してよろしいですか？",
                 drive.c_str());
    if (centredMessageBox(window, warning, "警告", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) !=
        IDYES) {
        return;
    }
    // The list was filled when the window opened or was refreshed; another
    // disk may have the letter now.
    if (!DriveList().offers(drive)) {
        debugLog("%s : %s is not a card reader's drive\n", kModule, drive.c_str());
        centredMessageBox(window, "指定されたドライブにアクセスできませんでした。", kError,
                          MB_ICONWARNING);
        return;
    }
    // Named and opened once, here: the dialog and the job work on this very
    // disk, whatever number Windows gives another one meanwhile.
    auto card = std::make_unique<DriveTarget>(drive);
    if (!card->isReady()) {
        debugLog("%s : %s\n", kModule, card->notReadyReason().c_str());
        centredMessageBox(window, "指定されたドライブにアクセスできませんでした。", kError,
                          MB_ICONWARNING);
    } else if (updateCheckDialog.run(window, drive.c_str()) == 1) {
        copyDialog.open(window, CopyDialog::kModeApply, std::move(card), path, size);
    }
}

void MainWindow::toggleConsole() {
    if (consoleOpen) {
        // Onto NUL rather than closed: a closed standard output frees its
        // descriptor for the next file opened, the temporary file for one.
        std::freopen("NUL", "w", stdout);
        FreeConsole();
        consoleOpen = false;
        return;
    }
    AllocConsole();
    // Ctrl+C or Ctrl+Break there would end the whole process; closing the
    // console ends it anyway, but only once the update has stopped.
    SetConsoleCtrlHandler(jobwatch::onConsoleEvent, TRUE);
    // Only the classic console has this menu; Windows Terminal keeps its close button.
    if (HWND console = GetConsoleWindow()) {
        if (HMENU system = GetSystemMenu(console, FALSE)) {
            DeleteMenu(system, SC_CLOSE, MF_BYCOMMAND);
        }
    }
    std::freopen("CONOUT$", "w", stdout);
    setDebugLog(true);
    consoleOpen = true;
}

bool MainWindow::onCreate(HWND window, HINSTANCE createdWith) {
    instance = createdWith;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    // A monitor whose scale is not the system's.
    const UINT dpi = windowDpi(window);
    RECT outer;
    if (GetWindowRect(window, &outer) && (outer.right - outer.left != dpiScale(kWidth, dpi) ||
                                          outer.bottom - outer.top != dpiScale(kHeight, dpi))) {
        SetWindowPos(window, nullptr, 0, 0, dpiScale(kWidth, dpi), dpiScale(kHeight, dpi),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (!controls.createControls(instance, window)) {
        return false;
    }
    menu = LoadMenuA(instance, MAKEINTRESOURCEA(IDR_MAINMENU));
    if (menu == nullptr) {
        return false;
    }
    // The class menu the window was created with is replaced by this copy.
    HMENU classMenu = GetMenu(window);
    SetMenu(window, menu);
    if (classMenu != nullptr && classMenu != menu) {
        DestroyMenu(classMenu);
    }
    return true;
}

// Dragged onto a monitor of another scale: Windows suggests the place and
// size, the controls follow.
void MainWindow::onDpiChanged(HWND window, UINT dpi, const RECT& suggested) {
    SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    controls.setDpi(dpi);
}

void MainWindow::onClose(HWND window) {
    SetMenu(window, nullptr);
    DestroyMenu(menu);
    menu = nullptr;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindow* self = attachedTo(window);
    switch (message) {
        case WM_CREATE: {
            debugLog("%s : MainWindowProc %d (create)\n", kModule, 1);
            const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            auto* owner = static_cast<MainWindow*>(cs->lpCreateParams);
            // -1 makes CreateWindowExA destroy the window and fail.
            if (self == nullptr && owner != nullptr && !owner->onCreate(window, cs->hInstance)) {
                return -1;
            }
            return 0;
        }
        case WM_DESTROY:
            // While creation is still failing, a quit message would cancel the
            // error box that follows; only a window that was made ends the loop.
            if (self != nullptr && self->mainWindow == window) {
                PostQuitMessage(0);
            }
            return 0;
        case WM_CLOSE:
            if (self != nullptr) {
                self->onClose(window);
            }
            break;
        case WM_DPICHANGED:
            if (self != nullptr) {
                self->onDpiChanged(window, HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            }
            return 0;
        // A log-off or a shutdown while the card may be written waits, with
        // a reason shown; if the session ends all the same, the update stops.
        case WM_QUERYENDSESSION:
            return jobwatch::holdSessionEnd(window) ? FALSE : TRUE;
        case WM_ENDSESSION:
            if (wParam) {
                jobwatch::onSessionEnd(window, lParam);
            }
            return 0;
        case WM_KEYDOWN:
            if (self != nullptr && wParam == VK_F1 && GetKeyState(VK_SHIFT) < 0) {
                self->toggleConsole();
            }
            break;
        case WM_COMMAND:
            if (self != nullptr && !self->commandProc(window, self->instance, LOWORD(wParam))) {
                DestroyWindow(window);
            }
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // An empty card slot must not raise Windows' own "no disk" box when the
    // drives are listed or opened; the program says so itself.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    // Without this Windows may not register the progress bar class, and the
    // progress dialog would fail to open.
    INITCOMMONCONTROLSEX controlsToUse = {sizeof controlsToUse, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controlsToUse);
    // On the heap: the controls and dialogs carry large buffers.
    auto app = std::make_unique<MainWindow>();
    if (!app->create(instance)) {
        return 1;
    }
    runMessageLoop();
    return 0;
}

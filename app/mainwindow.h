// The application object: single-instance start, the main window with its
// menu and controls, the message loop and the debug console.
#pragma once

#include <windows.h>

#include "app/dialogs.h"
#include "app/licensewindow.h"
#include "app/maincontrols.h"
#include "update/copydialog_win.h"

extern const char kMainWindowClass[];
extern const char kMainWindowTitle[];

class MainWindow {
public:
    // Builds the controls' state, which reads the settings file.
    MainWindow();
    // Closes the debug console if it is open.
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // True when the window is shown and the message loop is to run; false
    // when another copy runs (it is brought forward) or the window could not
    // be made (the error has been shown).
    bool create(HINSTANCE instance);

    // Handles one menu or button command; false closes the main window.
    bool commandProc(HWND window, HINSTANCE instance, unsigned id);
    // Opens the debug console that shows the log, or closes it.
    void toggleConsole();

private:
    friend LRESULT CALLBACK MainWindowProc(HWND, UINT, WPARAM, LPARAM);
    bool onCreate(HWND window, HINSTANCE createdWith);
    void onClose(HWND window);
    void onDpiChanged(HWND window, UINT dpi, const RECT& suggested);
    // The update button: checks, warning, drive, confirmation, progress dialog.
    void startUpdate(HWND window);

    WNDCLASSEXA windowClass;
    HWND mainWindow = nullptr;
    HMENU menu = nullptr;
    MainControls controls;
    FileSelector fileSelector;
    CopyDialog copyDialog;
    UpdateCheckDialog updateCheckDialog;
    HelpLinkDialog helpLinkDialog;
    LicenseWindow licenseWindow;
    bool consoleOpen = false;
    HINSTANCE instance = nullptr;  // the one the window was created with
};

// Fills wc for className with the program's icon, menu and background and
// registers it; false when registration fails.
bool registerWindowClass(WNDCLASSEXA& wc, HINSTANCE instance, WNDPROC proc, const char* className);

// Runs until the quit message (or a GetMessage error).
void runMessageLoop();

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

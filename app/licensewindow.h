// The "LICENSES" window: the licence texts of the linked libraries in a
// read-only text box with an OK button, owned by the main window, which stays
// disabled while it is open.
#pragma once

#include <windows.h>

#include "app/licensetext.h"
#include "app/maincontrols.h"

extern const char kLicenseWindowClass[];

class LicenseWindow {
public:
    // Creates the font and prepares the text once for the whole run.
    LicenseWindow();
    // Destroys the window if it is still open.
    ~LicenseWindow();
    LicenseWindow(const LicenseWindow&) = delete;
    LicenseWindow& operator=(const LicenseWindow&) = delete;

    // Registers the class on first use, creates the window over owner and
    // disables owner. False, with one log line, when the class, the window,
    // the text box or the button cannot be made; a window already made then
    // stays open and owner stays enabled.
    bool open(HWND owner, HINSTANCE instance);

    // The prepared text: an empty first line, then every line indented by one
    // space, CR LF line ends.
    const char* getText() const { return text; }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    // Enables the owner first, so that it is activated when this window goes.
    void close(HWND window);
    // Dragged onto a monitor of another scale.
    void onDpiChanged(HWND window, UINT dpi, const RECT& suggested);

    WNDCLASSEXA windowClass;
    HWND owner = nullptr;
    HWND licenseWindow = nullptr;
    HWND textBox = nullptr;
    HWND button = nullptr;
    UiFont font{12};
    bool classRegistered = false;
    char text[kLicenseTextCapacity];
};

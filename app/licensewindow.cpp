#include "app/licensewindow.h"

#include <cstring>

#include "app/dpi.h"
#include "app/mainwindow.h"
#include "common/common.h"

const char kLicenseWindowClass[] = "UMLicenseWindowClass";

namespace {

const char kModule[] = "licensewindow";

// At 96 DPI.
const int kWidth = 580;
const int kHeight = 470;
// The OK button's bottom edge and a margin below it.
const int kClientHeight = 445;
const RECT kTextBox = {0, 0, 580, 400};
const RECT kButton = {500, 410, 560, 435};
const int kTextBoxId = 801;
const int kButtonId = 802;

LicenseWindow* attachedTo(HWND window) {
    return reinterpret_cast<LicenseWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

HMENU childId(int id) {
    return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
}

HWND createChild(const char* className, const char* text, DWORD style, const RECT& at96, UINT dpi,
                 HWND parent, int id, HINSTANCE instance) {
    return CreateWindowExA(0, className, text, style, dpiScale(at96.left, dpi),
                           dpiScale(at96.top, dpi), dpiScale(at96.right - at96.left, dpi),
                           dpiScale(at96.bottom - at96.top, dpi), parent, childId(id), instance,
                           nullptr);
}

void moveChild(HWND child, const RECT& at96, UINT dpi) {
    SetWindowPos(child, nullptr, dpiScale(at96.left, dpi), dpiScale(at96.top, dpi),
                 dpiScale(at96.right - at96.left, dpi), dpiScale(at96.bottom - at96.top, dpi),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

// Caption, menu bar and frame take what the system gives them; at 470
// pixels that cut the OK button in half, so the window grows until it is
// whole.
void growToFit(HWND window, UINT dpi) {
    RECT outer;
    RECT client;
    const int needed = dpiScale(kClientHeight, dpi);
    if (GetWindowRect(window, &outer) && GetClientRect(window, &client) && client.bottom < needed) {
        SetWindowPos(window, nullptr, 0, 0, outer.right - outer.left,
                     outer.bottom - outer.top + needed - client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

}  // namespace

LicenseWindow::LicenseWindow() {
    std::memset(&windowClass, 0, sizeof windowClass);
    prepareLicenseText(text, sizeof text, licenseText());
}

LicenseWindow::~LicenseWindow() {
    // Its procedure would otherwise reach this object after it is gone.
    if (licenseWindow != nullptr) {
        DestroyWindow(licenseWindow);
    }
}

bool LicenseWindow::open(HWND ownerWindow, HINSTANCE instance) {
    if (!classRegistered) {
        if (!registerWindowClass(windowClass, instance, WindowProc, kLicenseWindowClass)) {
            debugLog("%s : License window class init fail\n", kModule);
            return false;
        }
        classRegistered = true;
    }

    // Centred horizontally over the owner, top edges aligned, at the
    // owner's scale.
    UINT dpi = windowDpi(ownerWindow);
    int centre = dpiScale(kWidth, dpi) / 2;  // x 0 when the owner cannot be read
    int y = 0;
    RECT ownerRect;
    if (GetWindowRect(ownerWindow, &ownerRect)) {
        centre = ownerRect.left + (ownerRect.right - ownerRect.left) / 2;
        y = ownerRect.top;
    }

    licenseWindow = CreateWindowExA(WS_EX_DLGMODALFRAME, kLicenseWindowClass, "LICENSES",
                                    WS_VISIBLE | WS_SYSMENU, centre - dpiScale(kWidth, dpi) / 2, y,
                                    dpiScale(kWidth, dpi), dpiScale(kHeight, dpi), ownerWindow,
                                    nullptr, instance, this);
    if (licenseWindow == nullptr) {
        debugLog("%s : License main window create fail\n", kModule);
        return false;
    }
    // Mostly on a monitor of another scale than the owner's.
    if (windowDpi(licenseWindow) != dpi) {
        dpi = windowDpi(licenseWindow);
        SetWindowPos(licenseWindow, nullptr, centre - dpiScale(kWidth, dpi) / 2, y,
                     dpiScale(kWidth, dpi), dpiScale(kHeight, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
    }
    font.setDpi(dpi, {});

    textBox =
        createChild("edit", text, WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_READONLY | ES_MULTILINE,
                    kTextBox, dpi, licenseWindow, kTextBoxId, instance);
    if (textBox == nullptr) {
        debugLog("%s : License text window create fail\n", kModule);
        return false;
    }
    font.applyTo(textBox);

    button = createChild("button", "OK", WS_CHILD | WS_VISIBLE, kButton, dpi, licenseWindow,
                         kButtonId, instance);
    if (button == nullptr) {
        debugLog("%s : License button window create fail\n", kModule);
        return false;
    }
    font.applyTo(button);
    growToFit(licenseWindow, dpi);

    EnableWindow(ownerWindow, FALSE);
    ShowWindow(licenseWindow, SW_SHOW);
    UpdateWindow(licenseWindow);
    owner = ownerWindow;
    debugLog("License window open\n");
    return true;
}

void LicenseWindow::onDpiChanged(HWND window, UINT dpi, const RECT& suggested) {
    SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    if (textBox == nullptr || button == nullptr) {
        return;
    }
    font.setDpi(dpi, {textBox, button});
    moveChild(textBox, kTextBox, dpi);
    moveChild(button, kButton, dpi);
    growToFit(window, dpi);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void LicenseWindow::close(HWND window) {
    EnableWindow(owner, TRUE);
    DestroyWindow(window);
}

LRESULT CALLBACK LicenseWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    LicenseWindow* self = attachedTo(window);
    switch (message) {
        case WM_CREATE: {
            const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            if (self == nullptr && cs->lpCreateParams != nullptr) {
                SetWindowLongPtrA(window, GWLP_USERDATA,
                                  reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
            }
            return 0;
        }
        case WM_DESTROY:
            debugLog("%s : WindowProc %d (destroy)\n", kModule, 2);
            if (self != nullptr && self->licenseWindow == window) {
                self->licenseWindow = nullptr;
                self->textBox = nullptr;
                self->button = nullptr;
            }
            break;
        case WM_CLOSE:
            debugLog("%s : WindowProc %d (close)\n", kModule, 16);
            if (self != nullptr) {
                EnableWindow(self->owner, TRUE);
            }
            break;
        case WM_DPICHANGED:
            if (self != nullptr) {
                self->onDpiChanged(window, HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            }
            return 0;
        case WM_KEYDOWN:
            if (self != nullptr &&
                (wParam == VK_RETURN || wParam == VK_ESCAPE || wParam == VK_SPACE)) {
                self->close(window);
            }
            break;
        case WM_COMMAND:
            if (self != nullptr) {
                const int id = LOWORD(wParam);
                debugLog("%s : command %d\n", kModule, id);
                if (id == kButtonId) {
                    self->close(window);
                }
            }
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

#include "app/licensewindow.h"

#include <cstring>

#include "app/mainwindow.h"
#include "common/common.h"

const char kLicenseWindowClass[] = "UMLicenseWindowClass";

namespace {

const char kModule[] = "licensewindow";

const int kWidth = 580;
const int kHeight = 470;
// The OK button's bottom edge and a margin below it.
const int kClientHeight = 445;
const int kTextBoxId = 801;
const int kButtonId = 802;

LicenseWindow* attachedTo(HWND window) {
    return reinterpret_cast<LicenseWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

HMENU childId(int id) {
    return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
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

    // Centred horizontally over the owner, top edges aligned.
    int x = 0;
    int y = 0;
    RECT ownerRect;
    if (GetWindowRect(ownerWindow, &ownerRect)) {
        x = ownerRect.left + (ownerRect.right - ownerRect.left) / 2 - kWidth / 2;
        y = ownerRect.top;
    }

    licenseWindow = CreateWindowExA(WS_EX_DLGMODALFRAME, kLicenseWindowClass, "LICENSES",
                                    WS_VISIBLE | WS_SYSMENU, x, y, kWidth, kHeight, ownerWindow,
                                    nullptr, instance, this);
    if (licenseWindow == nullptr) {
        debugLog("%s : License main window create fail\n", kModule);
        return false;
    }

    textBox = CreateWindowExA(0, "edit", text,
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_READONLY | ES_MULTILINE, 0, 0,
                              580, 400, licenseWindow, childId(kTextBoxId), instance, nullptr);
    if (textBox == nullptr) {
        debugLog("%s : License text window create fail\n", kModule);
        return false;
    }
    font.applyTo(textBox);

    button = CreateWindowExA(0, "button", "OK", WS_CHILD | WS_VISIBLE, 500, 410, 60, 25,
                             licenseWindow, childId(kButtonId), instance, nullptr);
    if (button == nullptr) {
        debugLog("%s : License button window create fail\n", kModule);
        return false;
    }
    font.applyTo(button);

    // Caption, menu bar and frame take what the system gives them; at 470
    // pixels that cut the OK button in half, so the window grows until it
    // is whole.
    RECT client;
    if (GetClientRect(licenseWindow, &client) && client.bottom < kClientHeight) {
        SetWindowPos(licenseWindow, nullptr, 0, 0, kWidth, kHeight + kClientHeight - client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    EnableWindow(ownerWindow, FALSE);
    ShowWindow(licenseWindow, SW_SHOW);
    UpdateWindow(licenseWindow);
    owner = ownerWindow;
    debugLog("License window open\n");
    return true;
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

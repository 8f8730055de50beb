#include "app/dialogs.h"

#include <shellapi.h>

#include <cstring>

#include "app/about.h"
#include "app/dpi.h"
#include "common/messagebox_win.h"
#include "common/common.h"
#include "resources/resource.h"

namespace {

HINSTANCE instanceOf(HWND owner) {
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
}

// The system font's cell height at 96 DPI.
constexpr int kSystemFontHeight = 16;

// The help dialog on screen; modal, so there is at most one.
HelpLinkDialog* openHelpDialog = nullptr;

}  // namespace

// ---- UpdateCheckDialog ----

INT_PTR UpdateCheckDialog::run(HWND owner, const char* drive) {
    driveName = drive;
    return DialogBoxParamA(instanceOf(owner), "UPDATE_CHECK_DLG", owner, dialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK UpdateCheckDialog::dialogProc(HWND dialog, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            auto* self = reinterpret_cast<UpdateCheckDialog*>(lParam);
            SetWindowLongPtrA(dialog, DWLP_USER, lParam);
            // The text names no drive; the argument is there for the format's sake.
            formatString(self->message, sizeof self->message,
                         "処理中はメディアを抜かないようにしてください。\n"
                         "アップデート処理を、本当に実行しますか？",
                         self->driveName.c_str());
            SetWindowTextA(GetDlgItem(dialog, IDC_CHECK_TEXT), self->message);
            // Not centred: the dialog stays where its template puts it.
            return FALSE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                EndDialog(dialog, 1);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, 3);
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            EndDialog(dialog, 3);
            return TRUE;
        default:
            return FALSE;
    }
}

// ---- HelpLinkDialog ----

INT_PTR HelpLinkDialog::run(HWND owner) {
    return DialogBoxParamA(instanceOf(owner), "HELP_LINK_DLG", owner, dialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK HelpLinkDialog::dialogProc(HWND dialog, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            HelpLinkDialog* self = reinterpret_cast<HelpLinkDialog*>(lParam);
            openHelpDialog = self;
            self->linkControl = GetDlgItem(dialog, IDC_HELP_LINK);
            centreWindow(dialog);
            if (self->linkControl != nullptr) {
                self->previousLinkProc =
                    reinterpret_cast<WNDPROC>(GetWindowLongPtrA(self->linkControl, GWLP_WNDPROC));
                SetWindowLongPtrA(self->linkControl, GWLP_USERDATA,
                                  reinterpret_cast<LONG_PTR>(self));
                SetWindowLongPtrA(self->linkControl, GWLP_WNDPROC,
                                  reinterpret_cast<LONG_PTR>(linkProc));
            }
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                if (openHelpDialog != nullptr && openHelpDialog->linkControl != nullptr) {
                    SetWindowLongPtrA(openHelpDialog->linkControl, GWLP_WNDPROC,
                                      reinterpret_cast<LONG_PTR>(openHelpDialog->previousLinkProc));
                }
                EndDialog(dialog, 1);
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            EndDialog(dialog, 3);
            return TRUE;
        default:
            return FALSE;
    }
}

LRESULT CALLBACK HelpLinkDialog::linkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<HelpLinkDialog*>(GetWindowLongPtrA(link, GWLP_USERDATA));
    switch (message) {
        case WM_PAINT:
            self->paintLink(link);
            return 0;
        case WM_LBUTTONDOWN:
            // No browser or no network is the browser's to report.
            ShellExecuteA(link, nullptr, kHelpSiteUrl, nullptr, nullptr, SW_SHOWNORMAL);
            return 0;
        default:
            return CallWindowProcA(self->previousLinkProc, link, message, wParam, lParam);
    }
}

void HelpLinkDialog::paintLink(HWND link) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(link, &paint);
    LOGFONTA face;
    std::memset(&face, 0, sizeof face);
    std::strcpy(face.lfFaceName, "system");
    face.lfUnderline = TRUE;
    // Height 0, the face's own size, is 16 pixels at 96 DPI. Elsewhere it is
    // the system's choice for the system DPI, not this window's (Wine keeps
    // 16 at any), so there the address asks for 16 pixels scaled.
    if (windowDpi(link) != kBaseDpi || systemDpi() != kBaseDpi) {
        face.lfHeight = dpiScale(kSystemFontHeight, windowDpi(link));
    }
    HFONT font = CreateFontIndirectA(&face);
    HGDIOBJ previous = SelectObject(dc, font);
    SetBkColor(dc, GetSysColor(COLOR_MENU));
    SetTextColor(dc, RGB(0, 0, 255));
    SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, 0, 0, kHelpSiteUrl, static_cast<int>(std::strlen(kHelpSiteUrl)));
    SelectObject(dc, previous);
    DeleteObject(font);
    EndPaint(link, &paint);
}

// The last question before an update runs, and the help dialog with the
// link to the product's web site.
#pragma once

#include <windows.h>

#include <string>

class UpdateCheckDialog {
public:
    UpdateCheckDialog() { message[0] = '\0'; }
    UpdateCheckDialog(const UpdateCheckDialog&) = delete;
    UpdateCheckDialog& operator=(const UpdateCheckDialog&) = delete;

    // 1 when the user chose "実行"; 3 for "中止" or the close box (-1 when
    // the dialog could not be made).
    INT_PTR run(HWND owner, const char* driveName);

private:
    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    std::string driveName;
    char message[128];
};

class HelpLinkDialog {
public:
    HelpLinkDialog() = default;
    HelpLinkDialog(const HelpLinkDialog&) = delete;
    HelpLinkDialog& operator=(const HelpLinkDialog&) = delete;

    // 1 for "OK", 3 for the close box (-1 when the dialog could not be made).
    INT_PTR run(HWND owner);

private:
    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK linkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam);
    void paintLink(HWND link);

    HWND linkControl = nullptr;
    WNDPROC previousLinkProc = nullptr;
};

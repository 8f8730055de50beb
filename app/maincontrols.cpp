#include "app/maincontrols.h"

#include <commdlg.h>

#include <cstring>

#include "common/common.h"

// ---- UiFont ----

namespace {

HFONT uiFont(int height) {
    return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, 0,
                       "MS UI Gothic");
}

}  // namespace

UiFont::UiFont(int height) : height(height), font(uiFont(height)) {}

UiFont::~UiFont() {
    if (font != nullptr) {
        DeleteObject(font);
    }
}

void UiFont::applyTo(HWND window) const {
    SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
}

void UiFont::setDpi(UINT newDpi, std::initializer_list<HWND> users) {
    if (newDpi == dpi) {
        return;
    }
    HFONT old = font;
    font = uiFont(dpiScale(height, newDpi));
    dpi = newDpi;
    for (HWND user : users) {
        applyTo(user);
    }
    if (old != nullptr) {
        DeleteObject(old);
    }
}

// ---- MainControls ----

MainControls::MainControls() {
    pathText[0] = '\0';
    driveText[0] = '\0';
}

HWND MainControls::createControl(HINSTANCE instance, HWND parent, const char* className,
                                 const char* text, int id, int x, int y, int width, int height,
                                 DWORD style) {
    HWND control =
        CreateWindowExA(0, className, text, WS_CHILD | WS_VISIBLE | style, dpiScale(x, dpi),
                        dpiScale(y, dpi), dpiScale(width, dpi), dpiScale(height, dpi), parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (control != nullptr) {
        font.applyTo(control);
        if (placedCount < kControls) {
            placed[placedCount++] = {control, {x, y, x + width, y + height}};
        }
    }
    return control;
}

bool MainControls::createControls(HINSTANCE instance, HWND parent) {
    dpi = windowDpi(parent);
    font.setDpi(dpi, {});
    driveLabel = createControl(instance, parent, "static", "ドライブ名", kIdDriveLabel, left, row,
                               80, 40, 0);
    if (driveLabel == nullptr) {
        return false;
    }
    // A height of 20 leaves the size of the dropped list to the control.
    driveBox =
        createControl(instance, parent, "combobox", nullptr, kIdDriveBox, left + 100, row, 100, 20,
                      WS_CLIPSIBLINGS | WS_VSCROLL | CBS_AUTOHSCROLL | CBS_DROPDOWNLIST);
    if (driveBox == nullptr) {
        return false;
    }
    fillDriveBox();
    row += 40;

    fileLabel = createControl(instance, parent, "static", "アップデート\nファイル", kIdFileLabel,
                              left, row, 80, 40, 0);
    if (fileLabel == nullptr) {
        return false;
    }
    pathBox = createControl(instance, parent, "edit", nullptr, kIdPathBox, left + 100, row, 360, 18,
                            WS_BORDER | ES_AUTOHSCROLL);
    if (pathBox == nullptr) {
        return false;
    }
    selectButton = createControl(instance, parent, "button", "ファイル選択", kIdSelectButton,
                                 left + 480, row, 120, 26, BS_PUSHBUTTON);
    if (selectButton == nullptr) {
        return false;
    }
    row += 60;

    groupBox = createControl(instance, parent, "button", "アップデート", kIdGroupBox, left, row,
                             640, 80, BS_GROUPBOX);
    if (groupBox == nullptr) {
        return false;
    }
    row += 20;

    description = createControl(instance, parent, "static",
                                "アップデートファイルをQuillonのシステムに適用します。",
                                kIdDescription, left + 20, row, 600, 40, WS_GROUP);
    if (description == nullptr) {
        return false;
    }
    updateButton = createControl(instance, parent, "button", "アップデート開始", kIdUpdateButton,
                                 left + 480, row + 10, 120, 26, BS_PUSHBUTTON);
    if (updateButton == nullptr) {
        return false;
    }
    row += 80;

    const char* stored = settings.getImageFilePath();
    if (stored[0] != '\0') {
        settings.setImageFilePath(stored);
        SetWindowTextA(pathBox, stored);
    }
    return true;
}

void MainControls::setDpi(UINT newDpi) {
    if (newDpi == dpi || placedCount == 0) {
        return;
    }
    dpi = newDpi;
    font.setDpi(dpi, {driveLabel, driveBox, fileLabel, pathBox, selectButton, groupBox, description,
                      updateButton});
    for (int i = 0; i < placedCount; ++i) {
        const RECT& r = placed[i].at96;
        SetWindowPos(placed[i].control, nullptr, dpiScale(r.left, dpi), dpiScale(r.top, dpi),
                     dpiScale(r.right - r.left, dpi), dpiScale(r.bottom - r.top, dpi),
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RedrawWindow(GetParent(placed[0].control), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void MainControls::fillDriveBox() {
    const char* letters = driveList.getRemovableDrives();
    for (const char* p = letters; *p != '\0'; ++p) {
        char entry[8];
        formatString(entry, sizeof entry, "%c:", *p);
        SendMessageA(driveBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    }
    const LRESULT found = SendMessageA(driveBox, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(settings.getDriveName()));
    SendMessageA(driveBox, CB_SETCURSEL, found != CB_ERR ? found : 0, 0);
}

void MainControls::refreshDriveList() {
    if (driveBox == nullptr) {
        return;
    }
    const LRESULT count = SendMessageA(driveBox, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        SendMessageA(driveBox, CB_DELETESTRING, 0, 0);
    }
    fillDriveBox();
}

const char* MainControls::getUpdateFilePath() {
    pathText[0] = '\0';
    if (pathBox != nullptr) {
        GetWindowTextA(pathBox, pathText, sizeof pathText);
    }
    return pathText;
}

bool MainControls::setUpdateFilePath(const char* path) {
    if (pathBox == nullptr) {
        return false;
    }
    settings.setImageFilePath(path);
    SetWindowTextA(pathBox, path);
    return true;
}

void MainControls::saveUpdateFilePath() {
    settings.setImageFilePath(getUpdateFilePath());
}

const char* MainControls::getDriveText() {
    driveText[0] = '\0';
    if (driveBox != nullptr) {
        GetWindowTextA(driveBox, driveText, sizeof driveText);
    }
    return driveText;
}

void MainControls::saveDriveText() {
    settings.setDriveName(getDriveText());
}

// ---- FileSelector ----

FileSelector::FileSelector() {
    std::memset(&record, 0, sizeof record);
    file[0] = '\0';
    fileTitle[0] = '\0';
}

BOOL FileSelector::run(HWND owner) {
    file[0] = '\0';
    fileTitle[0] = '\0';
    std::memset(&record, 0, sizeof record);
    record.lStructSize = sizeof record;
    record.hwndOwner = owner;
    // Pairs of NUL-terminated texts; the literal's own NUL ends the list.
    record.lpstrFilter = "All Files(*.*)\0*.*\0";
    record.nFilterIndex = 1;
    record.lpstrFile = file;
    record.nMaxFile = sizeof file;
    record.lpstrFileTitle = fileTitle;
    record.nMaxFileTitle = sizeof fileTitle;
    // The chosen folder may be on the card, which the update locks.
    record.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    record.lpstrDefExt = "";
    return GetOpenFileNameA(&record);
}

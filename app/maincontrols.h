// The eight child controls of the main window, the font they share and the
// open-file dialog.
#pragma once

#include <windows.h>

#include <initializer_list>

#include "app/dpi.h"
#include "app/settingsfile.h"
#include "storage/deviceinfo.h"

// Control ids; the two buttons' ids are the commands they send.
enum ControlId : int {
    kIdDriveLabel = 1,
    kIdDriveBox = 2,
    kIdFileLabel = 3,
    kIdPathBox = 4,
    kIdSelectButton = 5,
    kIdUpdateButton = 7,
    kIdDescription = 8,
    kIdGroupBox = 10,
};

// An "MS UI Gothic" font of one height at 96 DPI, made for 96 DPI until
// told otherwise, deleted with the holder.
class UiFont {
public:
    explicit UiFont(int height);
    ~UiFont();
    UiFont(const UiFont&) = delete;
    UiFont& operator=(const UiFont&) = delete;

    // Null when the font could not be created; controls then keep the system font.
    HFONT get() const { return font; }
    void applyTo(HWND window) const;
    // Makes the font again for dpi, its height scaled, gives it to each of
    // users and only then deletes the one they had. Nothing when the font
    // already is for dpi.
    void setDpi(UINT dpi, std::initializer_list<HWND> users);

private:
    int height;
    UINT dpi = kBaseDpi;
    HFONT font;
};

class MainControls {
public:
    MainControls();
    MainControls(const MainControls&) = delete;
    MainControls& operator=(const MainControls&) = delete;

    // Creates, fills and lays out the controls in parent's client area.
    // False as soon as one control cannot be created; those already made
    // stay until the parent is destroyed.
    bool createControls(HINSTANCE instance, HWND parent);
    // Lists the removable drives afresh and selects the stored one.
    void refreshDriveList();

    // The path box text, at most 259 characters; empty before creation.
    const char* getUpdateFilePath();
    // False when the path box does not exist yet (nothing is stored then).
    bool setUpdateFilePath(const char* path);
    void saveUpdateFilePath();
    // The drive box text, at most 7 characters such as "E:".
    const char* getDriveText();
    void saveDriveText();

    // Lays the controls out again and gives them a font for dpi: the
    // window has moved to a monitor of another scale.
    void setDpi(UINT dpi);

private:
    // x, y, width and height in 96-DPI pixels, scaled for the parent's DPI.
    HWND createControl(HINSTANCE instance, HWND parent, const char* className, const char* text,
                       int id, int x, int y, int width, int height, DWORD style);
    void fillDriveBox();

    // Each control as created, with its place at 96 DPI.
    struct Placed {
        HWND control;
        RECT at96;
    };
    static constexpr int kControls = 8;

    int left = 20;
    int row = 20;
    DriveList driveList;
    HWND driveLabel = nullptr;
    HWND driveBox = nullptr;
    HWND fileLabel = nullptr;
    HWND pathBox = nullptr;
    HWND selectButton = nullptr;
    HWND updateButton = nullptr;
    HWND description = nullptr;
    HWND groupBox = nullptr;
    UiFont font{13};
    UINT dpi = kBaseDpi;
    Placed placed[kControls] = {};
    int placedCount = 0;
    SettingsFile settings;
    char pathText[MAX_PATH];
    char driveText[8];
};

// The system's open-file dialog for one file of any type.
class FileSelector {
public:
    FileSelector();
    FileSelector(const FileSelector&) = delete;
    FileSelector& operator=(const FileSelector&) = delete;

    // The dialog's own result; a cancelled dialog leaves the file empty.
    BOOL run(HWND owner);
    bool hasFile() const { return file[0] != '\0'; }
    // Full path of the chosen file.
    const char* getFile() const { return file; }

private:
    OPENFILENAMEA record;
    char file[MAX_PATH];
    char fileTitle[64];
};

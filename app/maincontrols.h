// The eight child controls of the main window, the font they share and the
// open-file dialog.
#pragma once

#include <windows.h>

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

// An "MS UI Gothic" font of one height, deleted with the holder.
class UiFont {
public:
    explicit UiFont(int height);
    ~UiFont();
    UiFont(const UiFont&) = delete;
    UiFont& operator=(const UiFont&) = delete;

    // Null when the font could not be created; controls then keep the system font.
    HFONT get() const { return font; }
    void applyTo(HWND window) const;

private:
    int height;
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

private:
    HWND createControl(HINSTANCE instance, HWND parent, const char* className, const char* text,
                       int id, int x, int y, int width, int height, DWORD style);
    void fillDriveBox();

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

#include "app/settingsfile.h"

#include <shlwapi.h>

#include "common/common.h"

namespace {

const char kFileName[] = "QuillonUpdate.ini";
const char kImageSection[] = "IMAGEFILE";
const char kImageKey[] = "ImageFilePath";
const char kDriveSection[] = "DRIVE";
const char kDriveKey[] = "DriveName";

}  // namespace

SettingsFile::SettingsFile() {
    settingsPath[0] = '\0';
    imageFilePath[0] = '\0';
    driveName[0] = '\0';

    const DWORD n = GetModuleFileNameA(nullptr, settingsPath, sizeof settingsPath);
    // A full buffer means the path was cut: the folder it names is not ours.
    if (n == 0 || n >= sizeof settingsPath) {
        settingsPath[0] = '\0';
        return;
    }
    PathRemoveFileSpecA(settingsPath);
    if (!PathAppendA(settingsPath, kFileName)) {
        settingsPath[0] = '\0';
        return;
    }
    valid = true;
    GetPrivateProfileStringA(kImageSection, kImageKey, "", imageFilePath, sizeof imageFilePath,
                             settingsPath);
    GetPrivateProfileStringA(kDriveSection, kDriveKey, "", driveName, sizeof driveName,
                             settingsPath);
}

void SettingsFile::setImageFilePath(const char* value) {
    store(imageFilePath, kImageSection, kImageKey, value);
}

void SettingsFile::setDriveName(const char* value) {
    store(driveName, kDriveSection, kDriveKey, value);
}

void SettingsFile::store(char* field, const char* section, const char* key, const char* value) {
    if (!valid) {
        return;
    }
    if (field != value) {  // step 5 of the control set-up stores the field itself again
        lstrcpynA(field, value, kPathSize);
    }
    if (!WritePrivateProfileStringA(section, key, field, settingsPath)) {
        debugLog("WritePrivateProfileString fail\ninit file name %s\n", settingsPath);
    }
}

// The two values remembered between runs, kept in "QuillonUpdate.ini"
// beside the executable.
#pragma once

#include <windows.h>

class SettingsFile {
public:
    static constexpr size_t kPathSize = MAX_PATH;

    // Locates the file and reads both values; without an executable path the
    // object stays inactive (empty values, nothing read or written).
    SettingsFile();

    // The stored update file path; empty when unset or inactive.
    const char* getImageFilePath() const { return imageFilePath; }
    // The stored drive box text; empty when unset or inactive.
    const char* getDriveName() const { return driveName; }

    // Both keep the value (cut to 259 characters) and write it at once; a
    // failed write is logged and the value stays in memory.
    void setImageFilePath(const char* value);
    void setDriveName(const char* value);

private:
    void store(char* field, const char* section, const char* key, const char* value);

    char settingsPath[kPathSize];
    char imageFilePath[kPathSize];
    char driveName[kPathSize];
    bool valid = false;
};

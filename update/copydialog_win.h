// The modal progress dialog that runs one update: it creates the job, holds
// the card's volume locked while the job runs, polls the job once a second
// and shows the outcome. Windows only; the engine itself knows no windows.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class ApplyUpdateFile;
class UnmountDrive;

class CopyDialog {
public:
    static constexpr int kModeApply = 1;

    CopyDialog() { progressText[0] = '\0'; }
    // Stops and joins a job still held, then releases the volume.
    ~CopyDialog();
    CopyDialog(const CopyDialog&) = delete;
    CopyDialog& operator=(const CopyDialog&) = delete;

    // Runs the dialog over owner until the update is over and its outcome
    // has been shown. Always 3: the outcome is the dialog's to report.
    INT_PTR open(HWND owner, int mode, const std::string& devicePath, const std::string& imagePath,
                 const std::string& driveName, uint64_t fileSize);

private:
    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void start(HWND dialog);
    void tick(HWND dialog);
    void abort(HWND dialog);
    void end(HWND dialog);
    void showProgress(HWND dialog, int percent);

    int mode = 2;
    std::string devicePath;
    std::string imagePath;
    std::string driveName;
    uint64_t fileSize = 0;
    bool confirming = false;
    // The outcome when the job could not be started (the volume stayed in use).
    int startResult = 0;
    UnmountDrive* unmountDrive = nullptr;
    ApplyUpdateFile* job = nullptr;
    char progressText[256];
};

// The modal progress dialog that runs one update: it creates the job on the
// card the window has named and holds, polls the job once a second and
// shows the outcome. Windows only; the engine itself knows no windows.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "storage/target.h"

class ApplyUpdateFile;

class CopyDialog {
public:
    static constexpr int kModeApply = 1;

    CopyDialog() { progressText[0] = '\0'; }
    // Stops and joins a job still held, which releases the card.
    ~CopyDialog();
    CopyDialog(const CopyDialog&) = delete;
    CopyDialog& operator=(const CopyDialog&) = delete;

    // Runs the dialog over owner until the update is over and its outcome
    // has been shown. Always 3: the outcome is the dialog's to report.
    INT_PTR open(HWND owner, int mode, std::unique_ptr<Target> target, const std::string& imagePath,
                 uint64_t fileSize);

private:
    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void start(HWND dialog);
    void tick(HWND dialog);
    void abort(HWND dialog);
    void end(HWND dialog);
    void showProgress(HWND dialog, int percent);

    int mode = 2;
    std::unique_ptr<Target> target;  // until the job takes it
    std::string imagePath;
    uint64_t fileSize = 0;
    bool confirming = false;
    ApplyUpdateFile* job = nullptr;
    char progressText[256];
};

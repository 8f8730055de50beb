#include "update/copydialog_win.h"

#include <commctrl.h>

#include "common/messagebox_win.h"
#include "common/common.h"
#include "resources/resource.h"
#include "storage/target.h"
#include "update/applyupdatefile.h"
#include "update/jobwatch.h"
#include "update/messages.h"

namespace {

constexpr UINT_PTR kPollTimer = IDT_COPY_POLL;
constexpr UINT kPollMs = 1000;
constexpr INT_PTR kEndCode = 3;

const char kTitle[] = "アップデート処理中";
const char kAbortQuestion[] =
    "メディアの内容が不完全な状態になりますが、\nアップデート処理を中断してもよろしいですか？";

// The dialog on screen; there is one at a time.
CopyDialog* shownDialog = nullptr;

}  // namespace

CopyDialog::~CopyDialog() {
    jobwatch::destroy(job);
}

INT_PTR CopyDialog::open(HWND owner, int newMode, std::unique_ptr<Target> heldTarget,
                         const std::string& image, uint64_t size) {
    mode = newMode;
    target = std::move(heldTarget);
    imagePath = image;
    fileSize = size;
    confirming = false;
    debugLog("CopyDialog open device %s image %s drive %s\n", target->path().c_str(),
             imagePath.c_str(), target->drive().c_str());
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    return DialogBoxParamA(instance, "COPY_DLG", owner, dialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CopyDialog::dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            shownDialog = reinterpret_cast<CopyDialog*>(lParam);
            if (shownDialog->mode != kModeApply) {
                shownDialog->end(dialog);
            } else {
                shownDialog->start(dialog);
            }
            return TRUE;
        case WM_TIMER:
            if (shownDialog != nullptr) {
                shownDialog->tick(dialog);
            }
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) != IDCANCEL) {
                return FALSE;
            }
            if (shownDialog != nullptr) {
                shownDialog->abort(dialog);
            }
            return TRUE;
        case WM_CLOSE:
            if (shownDialog != nullptr) {
                shownDialog->abort(dialog);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

void CopyDialog::start(HWND dialog) {
    // The job locks the card's volumes itself, right before it writes.
    job = new ApplyUpdateFile(imagePath, std::move(target));
    // A long write must not be cut by sleep; the end sequence lets it sleep again.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    job->create();
    jobwatch::watch(*job);
    SetWindowTextA(dialog, kTitle);
    HWND bar = GetDlgItem(dialog, IDC_COPY_PROGRESS);
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(bar, PBM_SETSTEP, 1, 0);
    SetTimer(dialog, kPollTimer, kPollMs, nullptr);
    formatString(progressText, sizeof progressText, "%d%% 処理中です", 0);
    SetWindowTextA(GetDlgItem(dialog, IDC_COPY_PERCENT), progressText);
}

void CopyDialog::showProgress(HWND dialog, int percent) {
    SendDlgItemMessageA(dialog, IDC_COPY_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    formatString(progressText, sizeof progressText, "%d%% 処理中です", percent);
    SetWindowTextA(GetDlgItem(dialog, IDC_COPY_PERCENT), progressText);
}

void CopyDialog::tick(HWND dialog) {
    if (job == nullptr) {
        return;  // a tick queued before the end sequence ran
    }
    const int percent = job->getProgress();
    const int result = job->getResult();
    HWND owner = GetParent(dialog);
    // Under the abort question completion waits: the user is still deciding
    // whether the update is to count.
    if (!confirming && percent >= 100 && result == ResultNone) {
        showProgress(dialog, percent);
        KillTimer(dialog, kPollTimer);
        centredMessageBox(owner, completionMessage(), "終了", MB_OK);
        end(dialog);
    } else if (result != ResultNone) {
        KillTimer(dialog, kPollTimer);
        // The box keeps its own text; the engine's plain reason is for the log.
        debugLog("CopyDialog result %d %s\n", result, job->getReason().c_str());
        const char* text = resultMessage(result);
        centredMessageBox(owner, text != nullptr ? text : "", "エラー", MB_OK);
        end(dialog);
    } else if (jobwatch::stopped() && !job->isRunning()) {
        // Stopped from outside (the log console closed, the session
        // ending): over as after an abort, with no message.
        end(dialog);
    } else {
        showProgress(dialog, percent);
    }
}

void CopyDialog::abort(HWND dialog) {
    confirming = true;
    if (job != nullptr) {
        job->setPause(true);
    }
    const int answer = centredMessageBox(GetParent(dialog), kAbortQuestion, "中断確認",
                                         MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES) {
        end(dialog);
        return;
    }
    confirming = false;
    if (job != nullptr) {
        job->setPause(false);
    }
}

void CopyDialog::end(HWND dialog) {
    KillTimer(dialog, kPollTimer);
    EndDialog(dialog, kEndCode);
    // Joins the worker, which ends the card's locks and closes it.
    jobwatch::destroy(job);
    target.reset();
    SetThreadExecutionState(ES_CONTINUOUS);
}

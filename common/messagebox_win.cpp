#include "common/messagebox_win.h"

namespace {

// The box being shown; only the user-interface thread shows boxes, and
// they are modal, so one hook at a time is all there is.
HHOOK boxHook = nullptr;

// Outer rectangles of window and its parent, or false when either is missing.
bool rectangles(HWND window, RECT& own, RECT& parent) {
    HWND p = GetParent(window);
    return p != nullptr && GetWindowRect(window, &own) && GetWindowRect(p, &parent);
}

// ">> 1" rounds toward minus infinity, also left of or above the primary monitor.
int centred(LONG parentLow, LONG parentHigh, LONG ownLow, LONG ownHigh) {
    return static_cast<int>((parentLow + parentHigh + ownLow - ownHigh) >> 1);
}

void moveTo(HWND window, int x, int y) {
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// How the box being shown is placed.
bool boxTopAligned = false;

// The box is moved once, on its first activation: later activations (after
// switching applications) must leave it where the user may have put it.
LRESULT CALLBACK placeBoxHook(int code, WPARAM wParam, LPARAM) {
    if (code == HCBT_ACTIVATE) {
        UnhookWindowsHookEx(boxHook);
        boxHook = nullptr;
        HWND box = reinterpret_cast<HWND>(wParam);
        if (boxTopAligned) {
            topCentreWindow(box);
        } else {
            centreWindow(box);
        }
    }
    return 0;
}

int showPlaced(bool topAligned, HWND owner, const char* text, const char* caption, UINT type) {
    boxTopAligned = topAligned;
    boxHook = SetWindowsHookExA(WH_CBT, placeBoxHook, nullptr, GetCurrentThreadId());
    const int answer = MessageBoxA(owner, text, caption, type);
    // A box that never became active (it could not be created) leaves the hook behind.
    if (boxHook != nullptr) {
        UnhookWindowsHookEx(boxHook);
        boxHook = nullptr;
    }
    return answer;
}

// Moved onto a monitor of another scale, a box or dialog of a DPI-aware
// program takes that monitor's size: it is placed once more for that size.
void place(HWND window, bool topAligned) {
    RECT own, parent;
    for (int round = 0; round < 2 && rectangles(window, own, parent); ++round) {
        moveTo(window, centred(parent.left, parent.right, own.left, own.right),
               topAligned ? parent.top : centred(parent.top, parent.bottom, own.top, own.bottom));
        RECT moved;
        if (!GetWindowRect(window, &moved) || (moved.right - moved.left == own.right - own.left &&
                                               moved.bottom - moved.top == own.bottom - own.top)) {
            return;
        }
    }
}

}  // namespace

void centreWindow(HWND window) {
    place(window, false);
}

void topCentreWindow(HWND window) {
    place(window, true);
}

int centredMessageBox(HWND owner, const char* text, const char* caption, UINT type) {
    return showPlaced(false, owner, text, caption, type);
}

int topCentredMessageBox(HWND owner, const char* text, const char* caption, UINT type) {
    return showPlaced(true, owner, text, caption, type);
}

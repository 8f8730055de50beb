// Message boxes placed over the window that owns them instead of where the
// system would put them.
#pragma once

#include <windows.h>

// MessageBoxA, centred over owner; returns what MessageBoxA returns.
int centredMessageBox(HWND owner, const char* text, const char* caption, UINT type);
// MessageBoxA, centred horizontally over owner with the top edges aligned.
int topCentredMessageBox(HWND owner, const char* text, const char* caption, UINT type);

// Moves window (size and z-order kept, not activated) to the centre of its
// parent or owner; nothing when it has none.
void centreWindow(HWND window);
// The same horizontally; its top edge goes to the parent's top edge.
void topCentreWindow(HWND window);

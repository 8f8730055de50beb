// What ends the window program from outside while it may be writing a card:
// its log console's control events, and the end of the Windows session.
#pragma once

#include <windows.h>

namespace jobwatch {

// For SetConsoleCtrlHandler, again after each AllocConsole (which empties
// the list). Ctrl+C and Ctrl+Break are ignored: the console only shows the
// log. A closed console, a log-off and a shutdown stop the running update
// first, since Windows ends the process when the handler returns.
BOOL WINAPI onConsoleEvent(DWORD event);
// WM_QUERYENDSESSION: true (the session must wait) while an update runs,
// with the reason Windows shows beside the program.
bool holdSessionEnd(HWND window);
// WM_ENDSESSION with the session ending (flags: its lParam): the update is
// stopped as for a closed console.
void onSessionEnd(HWND window, LPARAM flags);

}  // namespace jobwatch

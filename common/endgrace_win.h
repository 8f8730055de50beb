// How long Windows lets a process it is ending clean up, less a margin for
// the process's own end: after a closed console window (the handler of
// CTRL_CLOSE_EVENT) its hung-application timeout, after a log-off or a
// shutdown (CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT, WM_ENDSESSION) its
// wait-to-kill timeout; 5 s each unless changed, and 5 s where the system
// does not say.
#pragma once

#include <windows.h>

DWORD endGraceMs(DWORD consoleEvent);

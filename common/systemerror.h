// The system's own words for a failed call, for the diagnostic log: its code
// and text tell "access denied" from "sharing violation" or "device not
// ready", which need different help. One implementation per platform.
#pragma once

#include <string>

namespace systemerror {

// Logs "<module> : <call> <subject> system error <code>: <text>" on a line of
// its own for the calling thread's last error (GetLastError, FormatMessageA).
// Call it straight after the failed call, before anything that may change
// that error. Writes nothing when the error is 0, nor where the platform
// keeps no such code (POSIX: the callers' own lines carry errno).
void logLast(const char* module, const char* call, const char* subject);

// "system error 21: <the system's text>" for a Windows error code; the
// C library's text for an errno value elsewhere.
std::string describe(unsigned long code);

}  // namespace systemerror

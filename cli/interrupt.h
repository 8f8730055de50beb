// The signals that ask qlupdate to stop: Ctrl+C, on Windows Ctrl+Break and
// closing the console window, and on POSIX a terminal hang-up and a polite
// kill. They are all handled as Ctrl+C, so that a run ends at its next
// chunk, removes what it made and says what happened.
#pragma once

namespace interrupt {

// Once at start: signals that would kill the process in the middle of a
// write are turned into failures of that write (a file-size limit, a closed
// pipe on standard error).
void ignoreFatalWrites();
// From watch() to unwatch(), the stop signals only set the flag.
void watch();
void unwatch();
bool requested();

}  // namespace interrupt

// The window program's running job, within reach of a thread of the
// system's: when the log console is closed or the session ends, Windows
// ends the process within seconds, so the job is asked to stop at its next
// piece and waited for, and the card and the temporary file are closed
// before the process goes.
#pragma once

class ApplyUpdateFile;

namespace jobwatch {

// After the job's create(): the job stop() reaches.
void watch(ApplyUpdateFile& job);
// Destroys job, which stops and joins it, out of stop()'s reach; job is
// null afterwards. A stop() under way finishes first.
void destroy(ApplyUpdateFile*& job);
// From any thread: asks the watched job to stop at its next piece and waits
// up to ms for its worker to end. why names the cause in the log lines.
// True when no job is left running; false when it still ran after ms.
bool stop(const char* why, unsigned ms);
// Whether stop() reached the job now watched: its owner ends it as an abort.
bool stopped();
// Whether a watched job runs (or a stop() is busy with it).
bool busy();

}  // namespace jobwatch

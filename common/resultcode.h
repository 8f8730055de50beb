// The update job's result codes: what the window and qlupdate tell the user.
#pragma once

#include <cerrno>

enum ResultCode {
    ResultNone = 0,
    ResultInvalidMedia = 1,
    ResultBrokenUpdateFile = 2,
    ResultTempFileSize = 3,
    ResultTempFileRead = 4,
    ResultWriteFailed = 5,
    ResultTempFileCreate = 6,
    ResultNoDiskSpace = 7,
    ResultUpToDate = 8,
    // Nothing was written: a volume over the root stayed in use.
    ResultCardInUse = 9,
    // Nothing was written: the card's lock switch is on.
    ResultWriteProtected = 10,
    // Nothing was written: the update file lies on the card itself.
    ResultUpdateFileOnCard = 11,
    // Nothing was written: the card could not be read, or was removed or
    // replaced by another after it was checked.
    ResultCardUnreadable = 12,
    // The system gave no memory, thread or file handle that the update
    // needed (a ulimit, a cgroup's pids.max, a machine short of memory):
    // nothing is wrong with the update file or the card.
    ResultNoResources = 13,
};

// The one place that tells a resource failure from a fault of a file or a
// card: the errno of a failed open, read or allocation. A thread the
// system refuses is ResultNoResources too.
inline bool isResourceError(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}
// code, unless error says that the system ran out of something.
inline int resultForError(int code, int error) {
    return isResourceError(error) ? ResultNoResources : code;
}

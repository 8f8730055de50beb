// The update job's result codes: what the window and qlupdate tell the user.
#pragma once

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
};

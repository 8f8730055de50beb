// What the user is told at the end of an update, by result code.
#pragma once

#include <vector>

// The completion text shown when the job succeeded.
const char* completionMessage();
// The error text for each result code from 1 up; nullptr for any other code.
const char* resultMessage(int code);
// The same texts in English, for a terminal that cannot show Japanese.
const char* completionMessageEnglish();
const char* resultMessageEnglish(int code);

// What brings each code about, each case in the words of the user guide's
// explanation of the code's message, and whether the card may have been
// written (the guide says that nothing was for every other code). The guide
// is held to this table: a case the job gains for a code belongs here.
struct ResultCases {
    bool mayHaveWritten;
    std::vector<const char*> cases;
};
// nullptr for a code without a message.
const ResultCases* resultCases(int code);

// What Windows shows beside the window program while a log-off or a
// shutdown waits for its update.
const char* sessionHeldMessage();

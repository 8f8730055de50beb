// What the user is told at the end of an update, by result code.
#pragma once

// The completion text shown when the job succeeded.
const char* completionMessage();
// The error text for each result code from 1 up; nullptr for any other code.
const char* resultMessage(int code);
// The same texts in English, for a terminal that cannot show Japanese.
const char* completionMessageEnglish();
const char* resultMessageEnglish(int code);

// What Windows shows beside the window program while a log-off or a
// shutdown waits for its update.
const char* sessionHeldMessage();

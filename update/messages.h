// What the user is told at the end of an update, by result code.
#pragma once

// The completion text shown when the job succeeded.
const char* completionMessage();
// The error text for result codes 1..12; nullptr for any other code.
const char* resultMessage(int code);

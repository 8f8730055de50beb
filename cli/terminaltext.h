// The program's own texts on the user's terminal: Japanese in the codeset the
// locale names (on Windows, the console's code page), and English where that
// codeset has no Japanese.
#pragma once

#include <string>

namespace terminaltext {

// japanese (in the build's character set) as the terminal shows it, else english.
std::string choose(const char* japanese, const char* english);
// The Japanese text converted for the terminal; false when its codeset
// cannot show it. One implementation per platform.
bool convert(const char* japanese, std::string& shown);

}  // namespace terminaltext

// On standard error: the message for a result code, then the reason when
// there is one.
void printResult(int code, const std::string& reason);

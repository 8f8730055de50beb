#include "cli/terminaltext.h"

#include <cstdio>

#include "update/messages.h"

namespace terminaltext {

std::string choose(const char* japanese, const char* english) {
    std::string shown;
    return convert(japanese, shown) ? shown : std::string(english);
}

}  // namespace terminaltext

void printResult(int code, const std::string& reason) {
    const char* japanese = resultMessage(code);
    const char* english = resultMessageEnglish(code);
    if (japanese != nullptr && english != nullptr) {
        std::fprintf(stderr, "%s\n", terminaltext::choose(japanese, english).c_str());
    }
    if (!reason.empty()) {
        std::fprintf(stderr, "%s\n", reason.c_str());
    }
}

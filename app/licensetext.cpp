#include "app/licensetext.h"

namespace {

const char kLineBreak[] = "\r\n ";
const size_t kLineBreakLength = sizeof kLineBreak - 1;

}  // namespace

size_t prepareLicenseText(char* dest, size_t size, const char* source) {
    if (size == 0) {
        return 0;
    }
    size_t used = 0;
    // A line break goes in whole or not at all, so a cut text never ends in
    // a CR without its LF.
    auto put = [&](const char* piece, size_t length) {
        if (size - used <= length) {
            return false;
        }
        for (size_t i = 0; i < length; ++i) {
            dest[used++] = piece[i];
        }
        return true;
    };
    if (put(kLineBreak, kLineBreakLength)) {
        for (; *source != '\0'; ++source) {
            const bool fits = *source == '\n' ? put(kLineBreak, kLineBreakLength) : put(source, 1);
            if (!fits) {
                break;
            }
        }
    }
    dest[used] = '\0';
    return used;
}

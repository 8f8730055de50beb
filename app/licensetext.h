// The licence texts of the libraries linked into the program, and their
// preparation for a multi-line edit control. Portable: the tests use it on
// every platform.
#pragma once

#include <cstddef>

// The text of resources/licenses.txt, embedded at build time: ASCII, LF line
// ends, blocks after the first begin with a line "---" and their title.
const char* licenseText();

// Size of the licence window's text buffer. The build fails when the
// prepared licence text would not fit (see the generated licence source).
constexpr size_t kLicenseTextCapacity = 20480;

// Length of what prepareLicenseText makes of source when nothing is cut:
// every line break, the leading one included, becomes CR LF space.
constexpr size_t preparedLength(const char* source) {
    size_t length = 3;
    for (; *source != '\0'; ++source) {
        length += *source == '\n' ? 3 : 1;
    }
    return length;
}

// Writes CR LF space, then source with each LF written as CR LF space, and a
// NUL into dest, which holds size bytes; the edit control then shows every
// line indented by one space below an empty first line. Stops before the
// first piece (a character, or a whole line break) that would leave no room
// for the NUL. Returns the number of characters written before the NUL;
// with size 0 nothing is written and 0 is returned.
size_t prepareLicenseText(char* dest, size_t size, const char* source);

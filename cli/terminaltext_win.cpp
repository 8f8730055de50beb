#include <windows.h>

#include <string>

#include "cli/terminaltext.h"

namespace terminaltext {

// The texts are in CP932 (the build's character set); the console may use
// another code page, and without a console the system's ANSI one counts.
bool convert(const char* japanese, std::string& shown) {
    UINT page = ::GetConsoleOutputCP();
    if (page == 0) {
        page = ::GetACP();
    }
    if (page == 932) {
        shown = japanese;
        return true;
    }
    const int wide = ::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, japanese, -1, nullptr, 0);
    if (wide <= 0) {
        return false;
    }
    std::wstring text(static_cast<size_t>(wide), L'\0');
    ::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, japanese, -1, &text[0], wide);
    // UTF-8 takes every character; other pages must not stand in a '?'.
    BOOL substituted = FALSE;
    BOOL* const check = page == CP_UTF8 ? nullptr : &substituted;
    const DWORD flags = page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int bytes =
        ::WideCharToMultiByte(page, flags, text.c_str(), -1, nullptr, 0, nullptr, check);
    if (bytes <= 0 || substituted) {
        return false;
    }
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(page, flags, text.c_str(), -1, &out[0], bytes, nullptr, check);
    if (substituted) {
        return false;
    }
    out.resize(static_cast<size_t>(bytes) - 1);  // the terminating NUL
    shown = out;
    return true;
}

}  // namespace terminaltext

#include "app/dpi.h"

namespace {

// Looked up rather than imported: Windows 7 and 8.1 have neither call, and
// an import would keep the program from starting there.
template <typename Call>
Call fromUser32(const char* name) {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    return user32 != nullptr
               ? reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)))
               : nullptr;
}

UINT screenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

}  // namespace

UINT windowDpi(HWND window) {
    static const auto forWindow = fromUser32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    const UINT dpi = forWindow != nullptr && window != nullptr ? forWindow(window) : 0;
    return dpi != 0 ? dpi : screenDpi();
}

UINT systemDpi() {
    static const auto forSystem = fromUser32<UINT(WINAPI*)()>("GetDpiForSystem");
    const UINT dpi = forSystem != nullptr ? forSystem() : 0;
    return dpi != 0 ? dpi : screenDpi();
}

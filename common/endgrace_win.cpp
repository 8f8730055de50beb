#include "common/endgrace_win.h"

namespace {

constexpr UINT kUsualTimeoutMs = 5000;
constexpr UINT kMarginMs = 500;

}  // namespace

DWORD endGraceMs(DWORD consoleEvent) {
    const UINT asked =
        consoleEvent == CTRL_CLOSE_EVENT ? SPI_GETHUNGAPPTIMEOUT : SPI_GETWAITTOKILLTIMEOUT;
    int timeout = 0;
    if (!SystemParametersInfoA(asked, 0, &timeout, 0) || timeout <= 0) {
        timeout = kUsualTimeoutMs;
    }
    const UINT ms = static_cast<UINT>(timeout);
    return ms > 2 * kMarginMs ? ms - kMarginMs : ms / 2;
}

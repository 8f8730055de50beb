// The Windows error behind a failed raw-storage call, for the reasons the
// job gives; shared by the product's calls and the test build's drive model.
#include <windows.h>

#include "common/systemerror.h"
#include "storage/rawdevice.h"

namespace rawdevice {

namespace {

thread_local Error lastFailure;

}  // namespace

Error lastError() {
    return lastFailure;
}

void clearLastError() {
    lastFailure = Error();
}

void rememberLastError() {
    const DWORD code = ::GetLastError();
    switch (code) {
        case ERROR_WRITE_PROTECT:
            lastFailure.fault = Fault::WriteProtected;
            break;
        case ERROR_NOT_READY:
        case ERROR_DEV_NOT_EXIST:
        case 433:  // ERROR_NO_SUCH_DEVICE, which MinGW does not name
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_NO_MEDIA_IN_DRIVE:
        case ERROR_MEDIA_CHANGED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_FILE_NOT_FOUND:
            lastFailure.fault = Fault::Gone;
            break;
        case ERROR_ACCESS_DENIED:
            lastFailure.fault = Fault::AccessDenied;
            break;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            lastFailure.fault = Fault::Busy;
            break;
        default:
            lastFailure.fault = Fault::Other;
            break;
    }
    lastFailure.text = systemerror::describe(code);
    ::SetLastError(code);
}

}  // namespace rawdevice

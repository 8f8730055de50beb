#include <windows.h>

#include "cli/outputfile.h"

namespace outputfile {

namespace {

// A handle that reads no data: enough to ask what a path is, and it opens
// directories too. INVALID_HANDLE_VALUE (not NULL) on failure.
HANDLE openForQuery(const std::string& path) {
    return ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool identify(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE h = openForQuery(path);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool known = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
    return known;
}

bool isDevicePath(const std::string& path) {
    return path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "//./") == 0;
}

}  // namespace

Kind kindOf(const std::string& path) {
    if (isDevicePath(path)) {
        return Kind::Other;
    }
    const HANDLE h = openForQuery(path);
    if (h == INVALID_HANDLE_VALUE) {
        return Kind::Missing;  // the creation beside it reports what is wrong
    }
    // NUL, CON and the like open in every folder, as character devices.
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = ::GetFileType(h) == FILE_TYPE_DISK &&
                         ::GetFileInformationByHandle(h, &info) != 0 &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    ::CloseHandle(h);
    return regular ? Kind::Regular : Kind::Other;
}

bool sameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!identify(a, ia) || !identify(b, ib)) {
        return false;
    }
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool createNew(const std::string& path) {
    // CREATE_NEW fails on any existing name, a link included.
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return h != INVALID_HANDLE_VALUE && ::CloseHandle(h) != 0;
}

bool syncToDisk(const std::string& path) {
    // FlushFileBuffers needs write access.
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool flushed = ::FlushFileBuffers(h) != 0;
    return ::CloseHandle(h) != 0 && flushed;
}

bool replace(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace outputfile

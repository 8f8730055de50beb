#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/outputfile.h"
#include "common/common.h"
#include "common/fileio.h"

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

size_t folderEnd(const std::string& path) {
    const size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? 0 : slash + 1;
}

// "<base>.<digits>-<digits>.part" or ".payload".
bool isLeftoverName(const std::string& name, const std::string& base) {
    if (_strnicmp(name.c_str(), (base + ".").c_str(), base.size() + 1) != 0) {
        return false;
    }
    const char* p = name.c_str() + base.size() + 1;
    char* end = nullptr;
    std::strtol(p, &end, 10);
    if (end == p || *end != '-') {
        return false;
    }
    p = end + 1;
    std::strtol(p, &end, 10);
    return end != p && (_stricmp(end, ".part") == 0 || _stricmp(end, ".payload") == 0);
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

bool NewFile::fail(const std::string& text) {
    code = errno;
    why = text + ": " + fileio::lastErrorText();
    return false;
}

// Windows has no unnamed files: the name is one a later run recognises. No
// other program may delete it while it is open, so a later run's removal
// fails for as long as its writer runs.
bool NewFile::create(const std::string& path) {
    target = path;
    const std::string stem = path + "." + std::to_string(fileio::processId()) + "-";
    for (int n = 0; n < 100; ++n) {
        const std::string name = stem + std::to_string(n) + ".part";
        fileio::clearSystemError();
        file = fileio::createNew(name.c_str());
        if (file != nullptr) {
            part = name;
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return fail("cannot create a new file beside " + path);
}

bool NewFile::publish() {
    if (!fileops::sync(file)) {
        return fail("writing " + target + " failed");
    }
    FILE* const written = file;
    file = nullptr;
    if (fileops::close(written) != 0) {
        return fail("writing " + target + " failed");
    }
    if (!::MoveFileExA(part.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        _doserrno = ::GetLastError();
        errno = EACCES;
        return fail("cannot rename " + part + " to " + target);
    }
    part.clear();
    return true;
}

void NewFile::discard() {
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
    if (!part.empty()) {
        ::DeleteFileA(part.c_str());
        part.clear();
    }
}

void removeLeftovers(const std::string& path) {
    const size_t end = folderEnd(path);
    const std::string folder = path.substr(0, end);
    const std::string base = path.substr(end);
    WIN32_FIND_DATAA found;
    const HANDLE search = ::FindFirstFileA((path + ".*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = folder + found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            isLeftoverName(found.cFileName, base) && ::DeleteFileA(name.c_str())) {
            debugLog("make : removed %s, left by a run that ended early\n", name.c_str());
        }
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
}

}  // namespace outputfile

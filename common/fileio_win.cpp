#include "common/fileio.h"

#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/systemerror.h"

namespace {

// What a failed CreateFileA tells the C library's callers.
int errnoOf(DWORD error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS         ? EEXIST
           : error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? EBUSY
           : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND    ? ENOENT
           : error == ERROR_ACCESS_DENIED                                      ? EACCES
           : error == ERROR_WRITE_PROTECT                                      ? EROFS
           : error == ERROR_DISK_FULL                                          ? ENOSPC
           : error == ERROR_TOO_MANY_OPEN_FILES                                ? EMFILE
           : error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY    ? ENOMEM
                                                                               : EIO;
}

}  // namespace

namespace fileio {

FileKind kindOf(const char* path) {
    // \\.\ names are devices: drives and volumes, pipes, ports.
    if ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/') &&
        path[2] == '.' && (path[3] == '\\' || path[3] == '/')) {
        const char* name = path + 4;
        if (::_strnicmp(name, "pipe", 4) == 0 && (name[4] == '\\' || name[4] == '/')) {
            return FileKind::Fifo;
        }
        const bool drive = ::_strnicmp(name, "PhysicalDrive", 13) == 0 ||
                           (name[0] != '\0' && name[1] == ':' && name[2] == '\0');
        return drive ? FileKind::BlockDevice : FileKind::CharDevice;
    }
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileKind::Missing
                                                                              : FileKind::Other;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return FileKind::Directory;
    }
    // Reserved names (NUL, CON, COM1) have attributes too; their handle
    // tells. No access asked: only the kind is wanted.
    const HANDLE handle =
        ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return FileKind::Other;
    }
    const DWORD type = ::GetFileType(handle);
    ::CloseHandle(handle);
    return type == FILE_TYPE_DISK   ? FileKind::Regular
           : type == FILE_TYPE_CHAR ? FileKind::CharDevice
           : type == FILE_TYPE_PIPE ? FileKind::Fifo
                                    : FileKind::Other;
}

int openReadOnly(const char* path) {
    return ::_open(path, _O_RDONLY | _O_BINARY);
}

// Opening a pipe's client end never waits for its server.
FILE* openReadStream(const char* path) {
    return std::fopen(path, "rb");
}

FILE* openStream(int fd) {
    return ::_fdopen(fd, "rb");
}

bool fileSize(int fd, int64_t& size) {
    struct _stati64 st;
    if (::_fstati64(fd, &st) != 0) {
        return false;
    }
    size = static_cast<int64_t>(st.st_size);
    return true;
}

void closeDescriptor(int fd) {
    ::_close(fd);
}

bool seek(FILE* file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    return ::_fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool syncToDevice(FILE* file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    return ::FlushFileBuffers(handle) != 0;
}

void dropCachedData(FILE*) {}

FILE* openNullOutput() {
    return std::fopen("NUL", "wb");
}

void sleep(int32_t milliseconds) {
    ::Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

FILE* createNew(const char* path, bool temporary) {
    // CREATE_NEW refuses any existing name; with FILE_FLAG_OPEN_REPARSE_POINT
    // a link counts as existing instead of being followed. Others may read
    // the file while it is open, but not change it.
    const DWORD kind =
        temporary ? FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE : FILE_ATTRIBUTE_NORMAL;
    const HANDLE handle =
        ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                      kind | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        _doserrno = error;
        errno = errnoOf(error);
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        ::DeleteFileA(path);
        errno = EMFILE;
        return nullptr;
    }
    FILE* file = ::_fdopen(fd, "w+b");
    if (file == nullptr) {
        const int error = errno;
        ::_close(fd);
        ::DeleteFileA(path);
        errno = error;
    }
    return file;
}

FILE* openLocked(const char* path, intptr_t& keeper) {
    keeper = -1;
    // Others may read it meanwhile, but no handle that writes it opens.
    const HANDLE handle = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        _doserrno = error;
        errno = errnoOf(error);
        return nullptr;
    }
    // A second handle of the same open file keeps the sharing refused.
    HANDLE held = INVALID_HANDLE_VALUE;
    const HANDLE self = ::GetCurrentProcess();
    const bool kept =
        ::DuplicateHandle(self, handle, self, &held, 0, FALSE, DUPLICATE_SAME_ACCESS) != 0;
    const int fd =
        kept ? ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY) : -1;
    FILE* file = fd >= 0 ? ::_fdopen(fd, "r+b") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) {
            ::_close(fd);
        } else {
            ::CloseHandle(handle);
        }
        if (kept) {
            ::CloseHandle(held);
        }
        errno = EMFILE;
        return nullptr;
    }
    keeper = reinterpret_cast<intptr_t>(held);
    return file;
}

void releaseLock(intptr_t keeper) {
    if (keeper != -1) {
        ::CloseHandle(reinterpret_cast<HANDLE>(keeper));
    }
}

bool streamSize(FILE* file, int64_t& size) {
    return fileSize(::_fileno(file), size);
}

bool identity(FILE* file, uint64_t& volume, uint64_t& index) {
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    volume = info.dwVolumeSerialNumber;
    index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool changeTime(FILE* file, uint64_t& when) {
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    FILE_BASIC_INFO info;
    if (handle == INVALID_HANDLE_VALUE ||
        !::GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) {
        return false;
    }
    // The last write is set by whoever writes; the change time only by the system.
    when = static_cast<uint64_t>(info.ChangeTime.QuadPart) ^
           (static_cast<uint64_t>(info.LastWriteTime.QuadPart) << 1);
    return true;
}

void* allocateAligned(size_t size) {
    return ::_aligned_malloc(size, 4096);
}

void freeAligned(void* memory) {
    ::_aligned_free(memory);
}

uint32_t processId() {
    return static_cast<uint32_t>(::GetCurrentProcessId());
}

}  // namespace fileio

namespace fileio {

std::string lastErrorText() {
    const unsigned long code = _doserrno;
    return code != 0 ? systemerror::describe(code) : std::string(std::strerror(errno));
}

void clearSystemError() {
    _doserrno = 0;
}

}  // namespace fileio

#include "common/fileio.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace fileio {

int openReadOnly(const char* path) {
    return ::_open(path, _O_RDONLY | _O_BINARY);
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

bool sync(FILE* file) {
    if (std::fflush(file) != 0) {
        return false;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    return ::FlushFileBuffers(handle) != 0;
}

void sleep(int32_t milliseconds) {
    ::Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

}  // namespace fileio

#include "common/fileio.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>

namespace fileio {

FileKind kindOf(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? FileKind::Missing : FileKind::Other;
    }
    return S_ISREG(st.st_mode)    ? FileKind::Regular
           : S_ISDIR(st.st_mode)  ? FileKind::Directory
           : S_ISFIFO(st.st_mode) ? FileKind::Fifo
           : S_ISSOCK(st.st_mode) ? FileKind::Socket
           : S_ISCHR(st.st_mode)  ? FileKind::CharDevice
           : S_ISBLK(st.st_mode)  ? FileKind::BlockDevice
                                  : FileKind::Other;
}

int openReadOnly(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

FILE* openReadStream(const char* path) {
    // Without O_NONBLOCK, open() holds a FIFO's reader until a writer comes.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    int error = ::fstat(fd, &st) != 0 ? errno : 0;
    if (error == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        error = EINVAL;
    }
    const int flags = error == 0 ? ::fcntl(fd, F_GETFL) : 0;
    if (error == 0 && (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        error = errno;
    }
    FILE* file = error == 0 ? ::fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        error = error != 0 ? error : errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

FILE* openStream(int fd) {
    return ::fdopen(fd, "rb");
}

bool fileSize(int fd, int64_t& size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    if (S_ISBLK(st.st_mode)) {
        // A block device's st_size is 0; the kernel knows its size.
        uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
            return false;
        }
        size = static_cast<int64_t>(bytes);
        return true;
    }
    size = static_cast<int64_t>(st.st_size);
    return true;
}

void closeDescriptor(int fd) {
    ::close(fd);
}

bool seek(FILE* file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool syncToDevice(FILE* file) {
    // Block devices and regular files both need this; EINVAL means the
    // file cannot be synced at all (a pipe), which loses nothing.
    return ::fsync(::fileno(file)) == 0 || errno == EINVAL;
}

void dropCachedData(FILE* file) {
    // Advice only: a system that keeps the pages still has read them from
    // the synced file, and the read-back then proves less, not something false.
    ::posix_fadvise(::fileno(file), 0, 0, POSIX_FADV_DONTNEED);
}

FILE* openNullOutput() {
    return std::fopen("/dev/null", "wb");
}

void sleep(int32_t milliseconds) {
    if (milliseconds <= 0) {
        return;
    }
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

FILE* createNew(const char* path, bool temporary) {
    // O_EXCL already refuses a link at the name; O_NOFOLLOW says so twice.
    const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    if (temporary) {
        ::unlink(path);  // the open file stays; a killed process leaves no name
    }
    FILE* file = ::fdopen(fd, "w+b");
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        ::unlink(path);
        errno = error;
    }
    return file;
}

FILE* openLocked(const char* path, intptr_t& keeper) {
    keeper = -1;
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    // A file system without locks (some network shares) leaves it unlocked.
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0 && (errno == EAGAIN || errno == EACCES)) {
        ::close(fd);
        errno = EBUSY;
        return nullptr;
    }
    // The lock belongs to the open file, so a descriptor of it holds the lock.
    const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    FILE* file = held >= 0 ? ::fdopen(fd, "r+b") : nullptr;
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        if (held >= 0) {
            ::close(held);
        }
        errno = error;
        return nullptr;
    }
    keeper = held;
    return file;
}

void releaseLock(intptr_t keeper) {
    if (keeper >= 0) {
        ::close(static_cast<int>(keeper));
    }
}

bool streamSize(FILE* file, int64_t& size) {
    return fileSize(::fileno(file), size);
}

bool identity(FILE* file, uint64_t& volume, uint64_t& index) {
    struct stat st;
    if (::fstat(::fileno(file), &st) != 0) {
        return false;
    }
    volume = static_cast<uint64_t>(st.st_dev);
    index = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool changeTime(FILE* file, uint64_t& when) {
    struct stat st;
    if (::fstat(::fileno(file), &st) != 0) {
        return false;
    }
    // The status change time moves with every write, and no utime() sets it back.
    when = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000ull +
           static_cast<uint64_t>(st.st_ctim.tv_nsec);
    return true;
}

void* allocateAligned(size_t size) {
    void* memory = nullptr;
    return ::posix_memalign(&memory, 4096, size) == 0 ? memory : nullptr;
}

void freeAligned(void* memory) {
    std::free(memory);
}

uint32_t processId() {
    return static_cast<uint32_t>(::getpid());
}

}  // namespace fileio

namespace fileio {

std::string lastErrorText() {
    return std::strerror(errno);
}

void clearSystemError() {}

}  // namespace fileio

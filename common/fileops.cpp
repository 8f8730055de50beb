#include "common/fileops.h"

#include <atomic>
#include <cerrno>

#include "common/fileio.h"

namespace fileops {
namespace {

std::atomic<Hook> currentHook{nullptr};

// The hook's answer for one call: 0 to go on, else the errno it fails with.
int ask(Op op, FILE* file, const char* path, const char* user, size_t bytes) {
    fileio::clearSystemError();  // what a failure leaves then speaks of this call
    const Hook hook = currentHook.load(std::memory_order_acquire);
    if (hook == nullptr) {
        return 0;
    }
    const int error = hook(Event{op, file, path, user, bytes});
    if (error != 0) {
        errno = error;
    }
    return error;
}

FILE* opened(FILE* file, const char* path, const char* user) {
    if (file != nullptr) {
        const Hook hook = currentHook.load(std::memory_order_acquire);
        if (hook != nullptr) {
            hook(Event{Op::Opened, file, path, user, 0});
        }
    }
    return file;
}

}  // namespace

void setHook(Hook hook) {
    currentHook.store(hook, std::memory_order_release);
}

FILE* open(const char* path, const char* mode, const char* user) {
    if (ask(Op::Open, nullptr, path, user, 0) != 0) {
        return nullptr;
    }
    const bool reading = mode[0] == 'r' && mode[1] == 'b' && mode[2] == '\0';
    return opened(reading ? fileio::openReadStream(path) : std::fopen(path, mode), path, user);
}

FILE* createNew(const char* path, const char* user, bool temporary) {
    if (ask(Op::Open, nullptr, path, user, 0) != 0) {
        return nullptr;
    }
    return opened(fileio::createNew(path, temporary), path, user);
}

FILE* openLocked(const char* path, const char* user, intptr_t& keeper) {
    keeper = -1;
    if (ask(Op::Open, nullptr, path, user, 0) != 0) {
        return nullptr;
    }
    return opened(fileio::openLocked(path, keeper), path, user);
}

FILE* adopt(FILE* file, const char* path, const char* user) {
    if (file == nullptr) {
        return nullptr;
    }
    if (ask(Op::Open, nullptr, path, user, 0) != 0) {
        const int error = errno;
        std::fclose(file);
        errno = error;
        return nullptr;
    }
    return opened(file, path, user);
}

size_t read(void* buffer, size_t size, size_t count, FILE* file) {
    if (ask(Op::Read, file, nullptr, nullptr, size * count) != 0) {
        return 0;
    }
    return std::fread(buffer, size, count, file);
}

size_t write(const void* buffer, size_t size, size_t count, FILE* file) {
    if (ask(Op::Write, file, nullptr, nullptr, size * count) != 0) {
        return 0;
    }
    return std::fwrite(buffer, size, count, file);
}

bool seek(FILE* file, uint64_t offset) {
    return ask(Op::Seek, file, nullptr, nullptr, 0) == 0 && fileio::seek(file, offset);
}

bool flush(FILE* file) {
    return ask(Op::Flush, file, nullptr, nullptr, 0) == 0 && std::fflush(file) == 0;
}

bool sync(FILE* file) {
    return flush(file) && ask(Op::Sync, file, nullptr, nullptr, 0) == 0 &&
           fileio::syncToDevice(file);
}

int close(FILE* file) {
    if (file == nullptr) {
        return 0;
    }
    const int refused = ask(Op::Close, file, nullptr, nullptr, 0);
    // MinGW's fclose reports success even when its last flush fails, so a
    // full disk at close would pass unseen on Windows: flush first.
    const bool flushed = std::fflush(file) == 0;
    const int flushError = errno;
    const int result = std::fclose(file);
    if (refused != 0) {
        errno = refused;
        return EOF;
    }
    if (!flushed) {
        errno = flushError;
        return EOF;
    }
    return result;
}

int64_t size(FILE* file) {
    int64_t bytes = 0;
    return fileio::streamSize(file, bytes) ? bytes : -1;
}

bool sameFile(FILE* a, FILE* b) {
    uint64_t volumeA = 0, indexA = 0, volumeB = 0, indexB = 0;
    return fileio::identity(a, volumeA, indexA) && fileio::identity(b, volumeB, indexB) &&
           volumeA == volumeB && indexA == indexB;
}

}  // namespace fileops

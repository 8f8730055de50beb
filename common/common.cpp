#include "common/common.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <string>
#include <vector>

#include "common/fileio.h"

namespace {

std::atomic<bool> logEnabled{true};
std::atomic<void (*)()> logLineHook{nullptr};

// glibc has no "%I64d"; every runtime we build for knows "%lld", so the
// format is rewritten once here instead of at every call site.
std::string portableFormat(const char* format) {
    std::string out;
    out.reserve(64);
    for (const char* p = format; *p != '\0'; ++p) {
        out += *p;
        if (*p != '%') {
            continue;
        }
        if (p[1] == '%') {
            out += *++p;
            continue;
        }
        while (p[1] != '\0' && std::string("-+ #0123456789.*").find(p[1]) != std::string::npos) {
            out += *++p;
        }
        if (p[1] == 'I' && p[2] == '6' && p[3] == '4') {
            out += "ll";
            p += 3;
        }
    }
    return out;
}

std::string formatV(const char* format, va_list args) {
    const std::string fmt = portableFormat(format);
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, fmt.c_str(), copy);
    va_end(copy);
    if (n < 0) {
        return std::string();
    }
    if (static_cast<size_t>(n) < sizeof small) {
        return std::string(small, static_cast<size_t>(n));
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt.c_str(), args);
    return std::string(big.data(), static_cast<size_t>(n));
}

}  // namespace

void debugLog(const char* format, ...) {
    if (!logEnabled.load()) {
        return;
    }
    va_list args;
    va_start(args, format);
    const std::string text = formatV(format, args);
    va_end(args);
    if (void (*hook)() = logLineHook.load()) {
        hook();
    }
    // One write per line keeps lines of different threads apart.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void setLogLineHook(void (*hook)()) {
    logLineHook.store(hook);
}

void setDebugLog(bool on) {
    logEnabled.store(on);
}

void formatString(char* buf, size_t size, const char* format, ...) {
    if (buf == nullptr || size == 0) {
        return;
    }
    const std::string fmt = portableFormat(format);
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, size, fmt.c_str(), args);
    va_end(args);
}

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatV(format, args);
    va_end(args);
    return text;
}

void ChunkFree::operator()(uint8_t* memory) const {
    fileio::freeAligned(memory);
}

ChunkBuffer allocateChunk(size_t size) {
    return ChunkBuffer(static_cast<uint8_t*>(fileio::allocateAligned(size)));
}

void sleepMs(int32_t milliseconds) {
    fileio::sleep(milliseconds);
}

int64_t getFileSize(const char* path) {
    fileio::clearSystemError();
    const int fd = fileio::openReadOnly(path);
    if (fd < 0) {
        // The caller may still ask why (fileio::lastErrorText).
        const int error = errno;
        debugLog("error : open (%s) at %s line %d\n", path, "common.cpp", __LINE__);
        errno = error;
        return -1;
    }
    FILE* stream = fileio::openStream(fd);
    if (stream == nullptr) {
        debugLog("error : fdopen (%s fd = %d) at %s line %d\n", path, fd, "common.cpp", __LINE__);
        fileio::closeDescriptor(fd);
        return -1;
    }
    int64_t size = 0;
    if (!fileio::fileSize(fd, size)) {
        debugLog("error : fstat (%s fd = %d) at %s line %d\n", path, fd, "common.cpp", __LINE__);
        std::fclose(stream);
        return -1;
    }
    if (std::fclose(stream) != 0) {
        debugLog("error : fclose (%s) at %s line %d\n", path, "common.cpp", __LINE__);
    }
    return size;
}

std::string hexDigest(const uint8_t* digest) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint32_t i = 0; i < 32; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

std::string sizeText(uint64_t bytes) {
    if (bytes < 1000000) {
        return formatText("%I64u bytes", static_cast<unsigned long long>(bytes));
    }
    const double value = static_cast<double>(bytes);
    return value < 1e9 ? formatText("%.1f MB", value / 1e6) : formatText("%.1f GB", value / 1e9);
}

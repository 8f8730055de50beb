// Diagnostic log and small file helpers shared by every module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/fileops.h"

// Writes one formatted line to standard output and flushes it, while the log
// switch is on. "%I64d" and "%I64u" print 64-bit values on every platform.
void debugLog(const char* format, ...);

// Called before each log line is written, from whichever thread logs; a
// front end that draws on the same terminal clears its line there. nullptr
// for none.
void setLogLineHook(void (*hook)());
// The switch starts on; only the debug console ever sets it (on).
void setDebugLog(bool on);

// Formats into buf, writing at most size bytes including the NUL; longer
// output is cut. Understands "%I64d" and "%I64u" like debugLog.
void formatString(char* buf, size_t size, const char* format, ...);

// The same formats, into a string of whatever length they need.
std::string formatText(const char* format, ...);

// "12.6 MB": sizes in reasons read the way cards are sold; "4096 bytes"
// below a megabyte.
std::string sizeText(uint64_t bytes);

// A SHA-256 digest (32 bytes) in lower-case hex, as sha256sum prints it.
std::string hexDigest(const uint8_t* digest);

void sleepMs(int32_t milliseconds);

// Size of the file at path, or -1 with one "error : ..." log line when it
// cannot be opened (directories included) or examined.
int64_t getFileSize(const char* path);

// The chunk buffers of the stages and the job. Page-aligned: the kernel
// copies file data into such a buffer about three times as fast as into
// one at malloc's 16-byte alignment.
struct ChunkFree {
    void operator()(uint8_t* memory) const;
};
using ChunkBuffer = std::unique_ptr<uint8_t[], ChunkFree>;
// nullptr when out of memory.
ChunkBuffer allocateChunk(size_t size);

// Closes a stream on every path out of the scope that opened it, through
// fileops so that tests see every close. Check a close that can lose data
// yourself: fileops::close(ptr.release()).
struct FileCloser {
    void operator()(FILE* file) const { fileops::close(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

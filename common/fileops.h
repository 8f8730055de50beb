// Stream calls of the stages and of the update job's copy. Every call passes
// one hook that only tests set, so that a test can make any single call fail;
// without a hook a call costs one atomic load more than the C library call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fileops {

enum class Op { Open, Read, Write, Seek, Flush, Sync, Close, Opened };

struct Event {
    Op op;
    FILE* file;        // nullptr for Open
    const char* path;  // Open and Opened; nullptr otherwise
    const char* user;  // module that opens the stream; Open and Opened only
    size_t bytes;      // Read and Write: bytes asked for
};

// Runs before every call, on the calling thread: 0 lets the call go on, any
// other value makes it fail with that value in errno (a failed Close still
// releases the stream). Opened follows each successful open and cannot fail.
using Hook = int (*)(const Event& event);
void setHook(Hook hook);  // nullptr removes it

// fopen; nullptr on failure. "rb" opens through fileio::openReadStream, so
// that no reader waits on a FIFO.
FILE* open(const char* path, const char* mode, const char* user);
// A new file for reading and writing, opened "w+b": fails (EEXIST) when
// anything has that name already, a link included, so it never truncates or
// writes through to a file that the caller did not create. Only the owner
// may read it on POSIX; on Windows nobody else may write it while open.
// temporary: the file goes with its last handle (see fileio::createNew).
FILE* createNew(const char* path, const char* user, bool temporary = false);
// An existing file opened "r+b" and held against a second writer (see
// fileio::openLocked); keeper is released with fileio::releaseLock.
FILE* openLocked(const char* path, const char* user, intptr_t& keeper);
// A stream opened elsewhere (a raw drive), under the hook from here on. On a
// refused Open the stream is closed and nullptr returned.
FILE* adopt(FILE* file, const char* path, const char* user);
// fread and fwrite; a refused call transfers nothing and returns 0.
size_t read(void* buffer, size_t size, size_t count, FILE* file);
size_t write(const void* buffer, size_t size, size_t count, FILE* file);
// 64-bit seek from the start; false on failure.
bool seek(FILE* file, uint64_t offset);
bool flush(FILE* file);
// Flush, then push the file's data to the device (fsync, FlushFileBuffers).
bool sync(FILE* file);
// fclose: 0, or EOF when buffered data could not be written.
int close(FILE* file);

// Current size of the file behind the stream; -1 on failure.
int64_t size(FILE* file);
// Whether two open streams are one file (device and inode, or volume serial
// and file index); false when either cannot tell.
bool sameFile(FILE* a, FILE* b);

}  // namespace fileops

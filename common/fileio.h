// Descriptor-level file calls that differ between the C runtimes; one
// implementation per platform is chosen by the build.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace fileio {

// What a path names. Other: a kind this list lacks, or a path the system
// refuses to examine (no permission, a loop of links); opening it says why.
enum class FileKind { Missing, Regular, Directory, Fifo, Socket, CharDevice, BlockDevice, Other };
// Follows links, and never opens what it examines, so a FIFO without a
// writer cannot hold the caller.
FileKind kindOf(const char* path);
// "a directory", "a FIFO (named pipe)": what a reason calls it.
const char* kindText(FileKind kind);

// Opens read-only; -1 on failure. Refuses directories, which POSIX open()
// would accept, so that both platforms fail in the same place. Never waits
// for a FIFO's writer.
int openReadOnly(const char* path);
// A binary read stream, as fopen "rb" gives, that never waits for a FIFO's
// writer: a FIFO or a socket is refused (EINVAL), since neither can be read
// twice the same. nullptr with errno set on failure.
FILE* openReadStream(const char* path);
FILE* openStream(int fd);  // binary read stream over fd, nullptr on failure
bool fileSize(int fd, int64_t& size);
void closeDescriptor(int fd);
bool seek(FILE* file, uint64_t offset);
// Pushes what the stream has handed to the system down to the device; the
// stream must be flushed first.
bool syncToDevice(FILE* file);
// Asks the system to forget its cached copy of the file's data, so that the
// next reads come from the device; the data must be synced first. Raw drive
// handles on Windows are not cached, and there it does nothing.
void dropCachedData(FILE* file);
void sleep(int32_t milliseconds);
// A stream that takes every write and keeps nothing (/dev/null, NUL);
// nullptr on failure.
FILE* openNullOutput();

// A new file opened "w+b", never an existing one and never through a link;
// nullptr with errno set (EEXIST when the name is taken) on failure.
// A temporary one goes with its last handle: on Windows the system deletes
// it then (FILE_FLAG_DELETE_ON_CLOSE), on POSIX its name is removed at once,
// so not even a killed process leaves it behind.
FILE* createNew(const char* path, bool temporary = false);
bool streamSize(FILE* file, int64_t& size);
// Opens an existing file for reading and writing ("r+b") so that no second
// writer of its kind meets it: on POSIX with an open-file-description lock
// over the whole file (where the file system keeps locks), on Windows with
// no write sharing. keeper, a second handle, holds that until releaseLock,
// also after the stream is closed. nullptr with errno set on failure, EBUSY
// when another holds the file.
FILE* openLocked(const char* path, intptr_t& keeper);
void releaseLock(intptr_t keeper);
// The file's identity: device and inode, or volume serial and file index.
bool identity(FILE* file, uint64_t& volume, uint64_t& index);
// When the file last changed (its data or its metadata), in the system's
// units: a write through any name or handle moves it on.
bool changeTime(FILE* file, uint64_t& when);
uint32_t processId();
// The words for the last failed file call: on Windows the system's code and
// text where the runtime kept them (_doserrno), for the runtime maps
// write-protect, not-ready and CRC errors all to EACCES or EINVAL; else the
// C library's text for errno. clearSystemError forgets the system's code.
std::string lastErrorText();
void clearSystemError();
// Page-aligned memory, nullptr when there is none; freed by freeAligned.
void* allocateAligned(size_t size);
void freeAligned(void* memory);

}  // namespace fileio

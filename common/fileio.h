// Descriptor-level file calls that differ between the C runtimes; one
// implementation per platform is chosen by the build.
#pragma once

#include <cstdint>
#include <cstdio>

namespace fileio {

// Opens read-only; -1 on failure. Refuses directories, which POSIX open()
// would accept, so that both platforms fail in the same place.
int openReadOnly(const char* path);
FILE* openStream(int fd);  // binary read stream over fd, nullptr on failure
bool fileSize(int fd, int64_t& size);
void closeDescriptor(int fd);
bool seek(FILE* file, uint64_t offset);
bool sync(FILE* file);
void sleep(int32_t milliseconds);

}  // namespace fileio

// Shared by the fuzz targets: a scratch folder of the process's own, the
// diagnostic log sent nowhere, checks that stop the run, and the small card
// that the job target updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// A file name in a folder created new for this process and removed at exit.
std::string scratchFile(const char* name);
void writeFile(const std::string& path, const uint8_t* data, size_t size);
Bytes readFile(const std::string& path);
// Names left in the scratch folder.
std::vector<std::string> scratchNames();

// Sends the diagnostic log (standard output) to /dev/null. Every line is still
// formatted, so the formatting of fuzzed values is exercised too.
void quietLog();

// Stops the run with a report: libFuzzer saves the input that did it.
[[noreturn]] void fail(const char* what, const char* file, int line);
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzz::fail(#condition, __FILE__, __LINE__))

// The card of the job target: boot partition, the root partition (entry 1)
// and a data partition behind it, 512-byte sectors, pattern content.
constexpr uint32_t kRootStart = 32;
constexpr uint32_t kRootCount = 128;  // 64 KiB
constexpr uint64_t kRootOffset = uint64_t{kRootStart} * 512;
constexpr uint64_t kRootSize = uint64_t{kRootCount} * 512;
Bytes makeCard(uint32_t seed);

// Makes an update file's header sound again after a mutation, as the writer
// would seal it: the copy of the count, the payload digest and the CRC. The
// plain part (code, version, count) stays as it is. False when the file is
// shorter than its header.
bool reseal(Bytes& file);

}  // namespace fuzz

// Small helpers shared by the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// A fresh empty folder for one test, removed again by the destructor. It lies
// in a folder of this process's own, so runs side by side never share one.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Runs fn and returns what it wrote to standard output (the diagnostic log).
// When an assertion inside fn fails, the captured text (which holds gtest's
// report) is echoed to standard error.
std::string captureLog(const std::function<void()>& fn);
// Number of occurrences of needle in haystack.
int countOf(const std::string& haystack, const std::string& needle);

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
std::vector<uint8_t> readFile(const std::string& path);
bool fileExists(const std::string& path);
// A FIFO (socket false) or a bound and closed socket at path; false where
// the system has neither (Windows) or refuses it.
bool makeSpecialFile(const std::string& path, bool socket);
// Pseudo-random but repeatable content.
std::vector<uint8_t> patternBytes(size_t size, uint32_t seed);
// Writes size bytes of patternBytes(seed) in chunks, without holding them.
void writePatternFile(const std::string& path, uint64_t size, uint32_t seed);
// 32 digest bytes as hex; "(none)" for nullptr.
std::string hex(const uint8_t* digest);
// SHA-256 of a file range as hex (size 0: to the end), or "unreadable".
// Logs nothing on success, so it may run inside captureLog.
std::string digest(const std::string& path, uint64_t offset = 0, uint64_t size = 0);

// One MBR partition entry.
struct Entry {
    uint32_t start = 0;
    uint32_t count = 0;
    uint8_t type = 0x83;
    uint8_t bootFlag = 0;
};
// A 512-byte MBR sector with up to four entries and the 0x55AA signature.
std::vector<uint8_t> makeMbr(const std::vector<Entry>& entries, bool signature = true);
// A card image: the MBR, then pattern content up to totalSize bytes.
void makeCardImage(const std::string& path, const std::vector<Entry>& entries, uint64_t totalSize,
                   uint32_t seed);

// Folder with data made by the host before the tests ran (sfdisk images);
// empty when not set.
std::string testDataDir();
// A host path usable by this build's file calls (Wine sees "/x" as "Z:/x").
std::string hostPath(const std::string& path);

// Builds an update file for the root partition (MBR entry 1) of cardImage
// with hashNum zero entries; the payload hash is written correctly.
bool makeUpdateFile(const std::string& cardImage, const std::string& updatePath,
                    uint32_t hashNum = 0);

}  // namespace testutil

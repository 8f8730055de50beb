#include "stages/updatefile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/common.h"
#include "common/fileio.h"

namespace {

const char* const kModule = "updatefile";
const uint8_t kHeaderCode[6] = {'Q', 'L', 'U', 'P', 'D', 0x00};
constexpr uint8_t kVersion = 1;

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t get64(const uint8_t* p) {
    return static_cast<uint64_t>(get32(p)) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}

}  // namespace

UpdateFile::UpdateFile() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : (c >> 1);
        }
        crcTable[i] = c;
    }
}

UpdateFile::UpdateFile(uint32_t hashNum) : UpdateFile() {
    // The file stores the count in 16 bits; a larger table would be written
    // with a truncated count that no reader can load.
    if (hashNum > 0xFFFF) {
        debugLog("%s : hash num %u over 65535\n", kModule, static_cast<unsigned>(hashNum));
        return;
    }
    allocateHeader(hashNum);
}

bool UpdateFile::allocateHeader(uint32_t entries) {
    const uint32_t bytes = kFixedHeaderSize + kHashEntrySize * entries;
    uint8_t* buffer = new (std::nothrow) uint8_t[bytes]();
    if (buffer == nullptr) {
        return false;
    }
    header.reset(buffer);
    hashNum = entries;
    headerSize = static_cast<int32_t>(bytes);
    return true;
}

uint32_t UpdateFile::calcCrc(const uint8_t* data, size_t len) const {
    if (len == 0) {
        return 0;
    }
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) {
        c = crcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    }
    return ~c;
}

void UpdateFile::encode(uint8_t* data, size_t size) {
    uint32_t x = kEncodeSeed;
    for (size_t p = 12; p < size; ++p) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[p] ^= static_cast<uint8_t>(x & 0xFF);
    }
}

const uint8_t* UpdateFile::getHashData(int index) const {
    if (!header || index < 0 || static_cast<uint32_t>(index) >= hashNum) {
        return nullptr;
    }
    return header.get() + kFixedHeaderSize + kHashEntrySize * static_cast<uint32_t>(index);
}

bool UpdateFile::loadHeader(const std::string& path, uint64_t& startOffset, uint64_t& size,
                            uint8_t compressDataHash[32], uint8_t auxHash[32]) {
    debugLog("%s : loadHeader start %s\n", kModule, path.c_str());
    failure.clear();
    failureError = 0;
    FilePtr file(fileops::open(path.c_str(), "rb", kModule));
    if (!file) {
        failureError = errno;
        failure = "the update file cannot be opened: " + fileio::lastErrorText();
        debugLog("%s : loadHeader file open error (%s) \n", kModule, path.c_str());
        return false;
    }
    return readHeader(file.get(), path, startOffset, size, compressDataHash, auxHash);
}

bool UpdateFile::loadHeader(FILE* file, const std::string& path, uint64_t& startOffset,
                            uint64_t& size, uint8_t compressDataHash[32], uint8_t auxHash[32]) {
    debugLog("%s : loadHeader start %s\n", kModule, path.c_str());
    failure.clear();
    failureError = 0;
    if (!fileops::seek(file, 0)) {
        failureError = errno;
        failure = "the update file could not be read: " + fileio::lastErrorText();
        debugLog("%s : loadHeader seek error (%s) \n", kModule, path.c_str());
        return false;
    }
    return readHeader(file, path, startOffset, size, compressDataHash, auxHash);
}

bool UpdateFile::readHeader(FILE* file, const std::string& path, uint64_t& startOffset,
                            uint64_t& size, uint8_t compressDataHash[32], uint8_t auxHash[32]) {
    // A read that fails before the file's end is no short file.
    const auto readFailure = [&](const std::string& shortText) {
        if (std::feof(file) != 0) {
            return shortText;
        }
        failureError = errno;
        return "the update file could not be read: " + fileio::lastErrorText();
    };
    uint8_t fixed[kFixedHeaderSize];
    if (fileops::read(fixed, 1, kFixedHeaderSize, file) != kFixedHeaderSize) {
        failure = readFailure(formatText("the update file is shorter than its %u-byte header",
                                         static_cast<unsigned>(kFixedHeaderSize)));
        debugLog("%s : loadHeader read (%ld) file error (%s) \n", kModule,
                 static_cast<long>(kFixedHeaderSize), path.c_str());
        return false;
    }
    if (std::memcmp(fixed, kHeaderCode, sizeof kHeaderCode) != 0) {
        failure = "the file is not a Quillon update file: its header code is wrong";
        debugLog("%s : loadHeader invalid header code %c%c%c%c%c%c \n", kModule, fixed[0], fixed[1],
                 fixed[2], fixed[3], fixed[4], fixed[5]);
        return false;
    }
    if (fixed[6] != kVersion) {
        failure = formatText("the update file has format version %d; this tool reads version %d",
                             fixed[6], kVersion);
        debugLog("%s : loadHeader invalid version %d\n", kModule, fixed[6]);
        return false;
    }
    if (!allocateHeader(get16(fixed + 8))) {
        failureError = ENOMEM;
        failure = "out of memory for the update file's header";
        debugLog("%s : loadHeader iheader buffer fail\n", kModule);
        return false;
    }
    uint8_t* h = header.get();
    std::memcpy(h, fixed, kFixedHeaderSize);
    const uint32_t tableBytes = static_cast<uint32_t>(headerSize) - kFixedHeaderSize;
    if (tableBytes > 0 && fileops::read(h + kFixedHeaderSize, 1, tableBytes, file) != tableBytes) {
        failure = readFailure(formatText("the update file ends inside its %u-byte header",
                                         static_cast<unsigned>(headerSize)));
        debugLog("%s : loadHeader read (%ld) file error (%s) \n", kModule,
                 static_cast<long>(tableBytes), path.c_str());
        return false;
    }

    encode(h, static_cast<size_t>(headerSize));
    const uint32_t stored = get32(h + 12);
    debugLog("%s : loadHeader decode crc %lx ( %d ) \n", kModule,
             static_cast<unsigned long>(stored), 12);
    const uint32_t computed = calcCrc(h + 16, static_cast<size_t>(headerSize) - 16);
    if (computed != stored) {
        failure = formatText(
            "the update file's header is damaged: its CRC-32 is %08lx, the "
            "header says %08lx",
            static_cast<unsigned long>(computed), static_cast<unsigned long>(stored));
        debugLog("%s : loadHeader invalid crc %lx %lx \n", kModule,
                 static_cast<unsigned long>(computed), static_cast<unsigned long>(stored));
        return false;
    }
    if (get16(h + 8) != get16(h + 16)) {
        failure = "the update file's header is damaged: its two table counts differ";
        debugLog("%s : loadHeader invalid hash num %lx %lx \n", kModule,
                 static_cast<unsigned long>(get16(h + 8)),
                 static_cast<unsigned long>(get16(h + 16)));
        return false;
    }
    debugLog("%s : loadHeader crc %lx ( %d ) \n", kModule, static_cast<unsigned long>(stored), 16);
    startOffset = get64(h + 24);
    size = get64(h + 32);
    std::memcpy(compressDataHash, h + 40, 32);
    std::memcpy(auxHash, h + 72, 32);
    debugLog("%s : loadHeader start offset %I64d size %I64d hash num %d\n", kModule,
             static_cast<long long>(startOffset), static_cast<long long>(size),
             static_cast<int>(hashNum));
    return true;
}

bool UpdateFile::checkRoot(uint64_t startOffset, uint64_t size, std::string& why) {
    constexpr uint64_t kSector = 512;
    constexpr uint64_t kFarthestEnd = 2 * (uint64_t{1} << 32) * 4096;
    const char* const damaged = "the update file's header is damaged: ";
    if (size == 0) {
        why = formatText("%sits root partition holds no bytes", damaged);
    } else if (startOffset % kSector != 0 || size % kSector != 0) {
        why = formatText(
            "%sits root partition (%I64u bytes at byte %I64u) is not whole 512-byte sectors",
            damaged, static_cast<unsigned long long>(size),
            static_cast<unsigned long long>(startOffset));
    } else if (startOffset < kSector) {
        why = formatText("%sits root partition starts at byte %I64u, inside the MBR", damaged,
                         static_cast<unsigned long long>(startOffset));
    } else if (size > kFarthestEnd || startOffset > kFarthestEnd - size) {
        why = formatText(
            "%sits root partition (%I64u bytes at byte %I64u) ends past the %I64u bytes an MBR "
            "can describe",
            damaged, static_cast<unsigned long long>(size),
            static_cast<unsigned long long>(startOffset),
            static_cast<unsigned long long>(kFarthestEnd));
    } else {
        why.clear();
        return true;
    }
    return false;
}

bool UpdateFile::setupHashData(const uint8_t hash[32], int index) {
    if (!header) {
        return false;
    }
    if (index < 0 || static_cast<uint32_t>(index) >= hashNum) {
        debugLog("%s : setupHashData index %d out of range %d\n", kModule, index,
                 static_cast<int>(hashNum));
        return false;
    }
    debugLog("%s : setupHashData (No %d)\nhash value:", kModule, index);
    for (int i = 0; i < 32; ++i) {
        debugLog("%02x", hash[i]);
    }
    debugLog("\n\n");
    std::memcpy(header.get() + kFixedHeaderSize + kHashEntrySize * static_cast<uint32_t>(index),
                hash, 32);
    return true;
}

bool UpdateFile::setupHeader(uint64_t startOffset, uint64_t size,
                             const uint8_t compressDataHash[32], const uint8_t auxHash[32]) {
    if (!header) {
        return false;
    }
    debugLog("%s : setupHeader start offset %I64d size %I64d\n", kModule,
             static_cast<long long>(startOffset), static_cast<long long>(size));
    uint8_t* h = header.get();
    std::memcpy(h, kHeaderCode, sizeof kHeaderCode);
    h[6] = kVersion;
    h[7] = 1;
    put16(h + 8, static_cast<uint16_t>(hashNum));
    put16(h + 16, static_cast<uint16_t>(hashNum));
    put64(h + 24, startOffset);
    put64(h + 32, size);
    std::memcpy(h + 40, compressDataHash, 32);
    std::memcpy(h + 72, auxHash, 32);
    const uint32_t crc = calcCrc(h + 16, static_cast<size_t>(headerSize) - 16);
    put32(h + 12, crc);
    debugLog("%s : setupHeader crc %lx ( %d ) \n", kModule, static_cast<unsigned long>(crc), 16);
    encode(h, static_cast<size_t>(headerSize));
    debugLog("%s : setupHeader encode crc %lx ( %d ) \n", kModule,
             static_cast<unsigned long>(get32(h + 12)), 12);
    return true;
}

bool UpdateFile::appendFile(const std::string& outputPath, const std::string& compressedPath) {
    if (!header) {
        return false;
    }
    FilePtr out(fileops::open(outputPath.c_str(), "wb", kModule));
    if (!out) {
        debugLog("%s : appendFile output file open error (%s) \n", kModule, outputPath.c_str());
        return false;
    }
    if (fileops::write(header.get(), static_cast<size_t>(headerSize), 1, out.get()) != 1) {
        debugLog("%s : appendFile output file write %d (%s) \n", kModule, headerSize,
                 outputPath.c_str());
        return false;
    }
    int64_t remaining = getFileSize(compressedPath.c_str());
    if (remaining <= 0) {
        // -1 has already been logged by getFileSize; an empty payload is no update.
        if (remaining == 0) {
            debugLog("%s : appendFile read file size 0 (%s) \n", kModule, compressedPath.c_str());
        }
        return false;
    }
    FilePtr in(fileops::open(compressedPath.c_str(), "rb", kModule));
    if (!in) {
        debugLog("%s : appendFile compress file open error (%s) \n", kModule,
                 compressedPath.c_str());
        return false;
    }
    if (!copyBuffer) {
        copyBuffer = allocateChunk(kCopyChunk);
        if (!copyBuffer) {
            debugLog("%s : appendFile buffer fail\n", kModule);
            return false;
        }
    }
    while (remaining > 0) {
        const size_t chunk = remaining > static_cast<int64_t>(kCopyChunk)
                                 ? kCopyChunk
                                 : static_cast<size_t>(remaining);
        if (fileops::read(copyBuffer.get(), 1, chunk, in.get()) != chunk) {
            debugLog("%s : appendFile read (%ld) file error (%s) \n", kModule,
                     static_cast<long>(chunk), compressedPath.c_str());
            return false;
        }
        if (fileops::write(copyBuffer.get(), 1, chunk, out.get()) != chunk) {
            debugLog("%s : appendFile write (%ld) file error (%s) \n", kModule,
                     static_cast<long>(chunk), outputPath.c_str());
            return false;
        }
        remaining -= static_cast<int64_t>(chunk);
    }
    in.reset();
    // A full disk may only show when the buffered tail is written out, and the
    // Windows runtime's fclose does not report it: flush and check first.
    const bool flushed = fileops::flush(out.get());
    if (fileops::close(out.release()) != 0 || !flushed) {
        debugLog("%s : appendFile write (%ld) file error (%s) \n", kModule, 0L, outputPath.c_str());
        return false;
    }
    return true;
}

// UpdateFile::loadHeader on arbitrary files: no crash, no read past the
// header, the outputs touched only on success, and only a sealed header
// accepted, with the values it holds.
#include <zlib.h>

#include <cstring>

#include "stages/updatefile.h"
#include "tests/fuzz/fuzzutil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::scratchFile("update.qlu");
    fuzz::writeFile(path, data, size);

    uint64_t startOffset = 7, length = 8;
    uint8_t dataHash[32], auxHash[32];
    std::memset(dataHash, 9, sizeof dataHash);
    std::memset(auxHash, 10, sizeof auxHash);
    UpdateFile reader;
    if (!reader.loadHeader(path, startOffset, length, dataHash, auxHash)) {
        FUZZ_CHECK(startOffset == 7 && length == 8);
        FUZZ_CHECK(dataHash[0] == 9 && dataHash[31] == 9 && auxHash[0] == 10 && auxHash[31] == 10);
        return 0;
    }
    // What was accepted is what the file says, and the header lies in the file.
    const uint32_t headerSize = reader.getHeaderSize();
    FUZZ_CHECK(headerSize == 104 + 32 * reader.getHashNum());
    FUZZ_CHECK(headerSize <= size);
    FUZZ_CHECK(reader.getHashNum() == static_cast<uint32_t>(data[8] | (data[9] << 8)));
    FUZZ_CHECK(std::memcmp(data, "QLUPD\0\1", 7) == 0);
    fuzz::Bytes plain(data, data + headerSize);
    UpdateFile::encode(plain.data(), plain.size());
    // Accepted means sealed: the CRC (zlib's, not the reader's own) and the
    // protected copy of the count agree with the header.
    const uint32_t crc = static_cast<uint32_t>(crc32(0, &plain[16], headerSize - 16));
    FUZZ_CHECK((plain[12] | (plain[13] << 8) | (plain[14] << 16) |
                (static_cast<uint32_t>(plain[15]) << 24)) == crc);
    FUZZ_CHECK(plain[16] == data[8] && plain[17] == data[9]);
    uint64_t start = 0, bytes = 0;
    for (int i = 7; i >= 0; --i) {
        start = (start << 8) | plain[24 + i];
        bytes = (bytes << 8) | plain[32 + i];
    }
    FUZZ_CHECK(start == startOffset && bytes == length);
    FUZZ_CHECK(std::memcmp(dataHash, &plain[40], 32) == 0 &&
               std::memcmp(auxHash, &plain[72], 32) == 0);
    if (reader.getHashNum() > 0) {
        FUZZ_CHECK(std::memcmp(reader.getHashData(0), &plain[104], 32) == 0);
    }
    return 0;
}

// The update file: a sealed header followed by the zlib payload.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/common.h"

class UpdateFile {
public:
    static constexpr uint32_t kFixedHeaderSize = 104;
    static constexpr uint32_t kHashEntrySize = 32;
    static constexpr uint32_t kCopyChunk = 4194304;
    static constexpr uint32_t kEncodeSeed = 0x3B5E17A4u;

    UpdateFile();  // reader
    // Writer with hashNum table entries; above 65535 no header is allocated
    // and every writer operation returns false.
    explicit UpdateFile(uint32_t hashNum);

    // Reads and verifies the header at path. The outputs are written only on
    // success; each failure writes one log line.
    bool loadHeader(const std::string& path, uint64_t& startOffset, uint64_t& size,
                    uint8_t compressDataHash[32], uint8_t auxHash[32]);
    // The same through a stream the caller opened (and closes), read from
    // its start; path is for the log.
    bool loadHeader(FILE* file, const std::string& path, uint64_t& startOffset, uint64_t& size,
                    uint8_t compressDataHash[32], uint8_t auxHash[32]);
    // Why the last loadHeader failed, in plain words with the values found.
    const std::string& getFailure() const { return failure; }
    // errno of the call that failed (EMFILE, ENOMEM); 0 when the file
    // itself was wrong.
    int getFailureError() const { return failureError; }
    uint32_t getHeaderSize() const { return kFixedHeaderSize + kHashEntrySize * hashNum; }
    // Whether a header's root partition can be one on a card: whole 512-byte
    // sectors, behind the MBR, within what an MBR describes (2^32 sectors
    // of up to 4096 bytes for its start, as many for its length). False with
    // the damage in why when not: such a header is the file's fault.
    static bool checkRoot(uint64_t startOffset, uint64_t size, std::string& why);
    uint32_t getHashNum() const { return hashNum; }
    // Entry index of the loaded or prepared table; nullptr when out of range.
    const uint8_t* getHashData(int index) const;

    bool setupHashData(const uint8_t hash[32], int index);
    // Fills the fixed fields, then seals: CRC first, then the encoding.
    bool setupHeader(uint64_t startOffset, uint64_t size, const uint8_t compressDataHash[32],
                     const uint8_t auxHash[32]);
    bool appendFile(const std::string& outputPath, const std::string& compressedPath);

    // Standard CRC-32 (zlib's crc32) of len bytes.
    uint32_t calcCrc(const uint8_t* data, size_t len) const;
    // XORs offsets 12..headerSize-1 with the keystream; applying it twice
    // gives the buffer back.
    static void encode(uint8_t* header, size_t headerSize);

    const uint8_t* getHeader() const { return header.get(); }

private:
    bool allocateHeader(uint32_t entries);
    bool readHeader(FILE* file, const std::string& path, uint64_t& startOffset, uint64_t& size,
                    uint8_t compressDataHash[32], uint8_t auxHash[32]);

    uint32_t hashNum = 0;
    std::string failure;
    int failureError = 0;
    int32_t headerSize = 0;
    std::unique_ptr<uint8_t[]> header;
    ChunkBuffer copyBuffer;
    uint32_t crcTable[256];
};

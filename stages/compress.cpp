#include "stages/compress.h"

#include <zlib.h>

// SHA256_Init/Update/Final are deprecated in OpenSSL 3 but still provided.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"

namespace {

const char* const kModule = "compress";
// The oldest zlib interface the stage is written against.
const char* const kZlibVersion = "1.2.11";

const char* zmsg(const z_stream& stream) {
    return stream.msg != nullptr ? stream.msg : "unknown";
}

// Closes an output stream and reports whether everything buffered reached the
// file. The Windows runtime's fclose returns 0 even when its last flush
// fails (a full disk), so the flush is made and checked first.
bool closeOutput(FilePtr& out) {
    const bool flushed = fileops::flush(out.get());
    return fileops::close(out.release()) == 0 && flushed;
}

}  // namespace

Compress::Compress() : inBuffer(allocateChunk(kChunk)), outBuffer(allocateChunk(kChunk)) {}

void Compress::requestSuspend() {
    debugLog("%s : request suspend\n", kModule);
    suspendRequested.store(true);
}

bool Compress::compress(const std::string& inputPath, uint64_t offset, uint64_t length,
                        const std::string& outputPath) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (deflateInit_(&stream, Z_DEFAULT_COMPRESSION, kZlibVersion, sizeof stream) != Z_OK) {
        debugLog("%s : deflateInit error (%s)\n", kModule, zmsg(stream));
        return false;
    }
    FilePtr in(fileops::open(inputPath.c_str(), "rb", kModule));
    if (!in) {
        debugLog("%s : fopen error %s\n", kModule, inputPath.c_str());
        deflateEnd(&stream);
        return false;
    }
    if (!fileops::seek(in.get(), offset)) {
        debugLog("%s : fseeko error %I64d\n", kModule, static_cast<long long>(offset));
        deflateEnd(&stream);
        return false;
    }
    FilePtr out(fileops::open(outputPath.c_str(), "wb", kModule));
    if (!out) {
        debugLog("%s : fopen error %s\n", kModule, outputPath.c_str());
        deflateEnd(&stream);
        return false;
    }

    stream.next_out = outBuffer.get();
    stream.avail_out = kChunk;
    uint64_t remaining = length;
    int flush = Z_NO_FLUSH;
    bool outcome = false;
    suspended = false;
    for (;;) {
        if (suspendRequested.load()) {
            debugLog("%s : compress suspend\n", kModule);
            suspended = true;
            break;
        }
        if (stream.avail_in == 0 && flush != Z_FINISH) {
            uint32_t chunk;
            if (remaining > kChunk) {
                chunk = kChunk;
                remaining -= kChunk;
            } else {
                chunk = static_cast<uint32_t>(remaining);
                remaining = 0;
                flush = Z_FINISH;
            }
            if (chunk == 0 || fileops::read(inBuffer.get(), 1, chunk, in.get()) != chunk) {
                debugLog("%s : fread (%u) error %s\n", kModule, chunk, std::strerror(errno));
                break;
            }
            stream.next_in = inBuffer.get();
            stream.avail_in = chunk;
        }
        const int ret = deflate(&stream, flush);
        if (ret == Z_STREAM_ERROR) {
            debugLog("%s : deflate error (%s)\n", kModule, zmsg(stream));
            break;
        }
        if (ret == Z_STREAM_END) {
            const uint32_t n = kChunk - stream.avail_out;
            if (n > 0 && fileops::write(outBuffer.get(), n, 1, out.get()) != 1) {
                debugLog("%s : write error %d\n", kModule, static_cast<int>(n));
                break;
            }
            outcome = true;
            break;
        }
        if (stream.avail_out == 0) {
            if (fileops::write(outBuffer.get(), kChunk, 1, out.get()) != 1) {
                debugLog("%s : write error %d\n", kModule, static_cast<int>(kChunk));
                break;
            }
            stream.next_out = outBuffer.get();
            stream.avail_out = kChunk;
        }
    }
    deflateEnd(&stream);
    in.reset();
    if (!closeOutput(out) && outcome) {
        debugLog("%s : write error %d\n", kModule, 0);
        outcome = false;
    }
    return outcome;
}

bool Compress::decompress(const std::string& inputPath, const std::string& outputPath,
                          uint64_t offset, uint64_t maxOutput) {
    suspended = false;
    FilePtr out(fileops::open(outputPath.c_str(), "wb", kModule));
    if (!out) {
        debugLog("%s : fopen error %s\n", kModule, outputPath.c_str());
        return false;
    }
    bool outcome = decompress(inputPath, out.get(), offset, maxOutput, nullptr, nullptr);
    if (!closeOutput(out) && outcome) {
        debugLog("%s : write error %d\n", kModule, 0);
        outcome = false;
    }
    return outcome;
}

bool Compress::decompress(const std::string& inputPath, FILE* output, uint64_t offset,
                          uint64_t maxOutput, uint8_t* inputDigest, uint8_t* outputDigest) {
    suspended = false;
    bytesOut.store(0);
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit_(&stream, kZlibVersion, sizeof stream) != Z_OK) {
        debugLog("%s : inflateInit error (%s)\n", kModule, zmsg(stream));
        return false;
    }
    FilePtr in(fileops::open(inputPath.c_str(), "rb", kModule));
    if (!in) {
        debugLog("%s : fopen error %s\n", kModule, inputPath.c_str());
        inflateEnd(&stream);
        return false;
    }
    if (!fileops::seek(in.get(), offset)) {
        debugLog("%s : fseeko error %I64d\n", kModule, static_cast<long long>(offset));
        inflateEnd(&stream);
        return false;
    }

    SHA256_CTX sha;
    SHA256_Init(&sha);
    SHA256_CTX shaOut;
    SHA256_Init(&shaOut);
    stream.next_out = outBuffer.get();
    stream.avail_out = kChunk;
    bool outcome = false;
    bool streamEnded = false;
    uint64_t written = 0;
    const auto overLimit = [&](uint32_t n) {
        if (n > maxOutput - written) {
            debugLog("%s : output over %I64u bytes\n", kModule,
                     static_cast<unsigned long long>(maxOutput));
            return true;
        }
        written += n;
        bytesOut.store(written);
        return false;
    };
    for (;;) {
        if (suspendRequested.load()) {
            debugLog("%s : decompress suspend\n", kModule);
            suspended = true;
            break;
        }
        if (streamEnded) {
            // The digest covers the payload to the end of the file, so the
            // bytes behind the stream are read too, though not interpreted.
            if (std::feof(in.get()) != 0) {
                outcome = true;
                break;
            }
            const size_t got = fileops::read(inBuffer.get(), 1, kChunk, in.get());
            if (got == 0 && std::feof(in.get()) == 0) {
                debugLog("%s : fread (%u) error %s\n", kModule, 0u, std::strerror(errno));
                break;
            }
            SHA256_Update(&sha, inBuffer.get(), got);
            continue;
        }
        if (stream.avail_in == 0) {
            const size_t got = fileops::read(inBuffer.get(), 1, kChunk, in.get());
            if (got == 0) {
                debugLog("%s : fread (%u) error %s\n", kModule, 0u, std::strerror(errno));
                break;
            }
            SHA256_Update(&sha, inBuffer.get(), got);
            stream.next_in = inBuffer.get();
            stream.avail_in = static_cast<uInt>(got);
        }
        const int ret = inflate(&stream, Z_NO_FLUSH);
        if (ret == Z_STREAM_END) {
            const uint32_t n = kChunk - stream.avail_out;
            if (overLimit(n)) {
                break;
            }
            if (n > 0 && fileops::write(outBuffer.get(), n, 1, output) != 1) {
                debugLog("%s : write error %d\n", kModule, static_cast<int>(n));
                break;
            }
            SHA256_Update(&shaOut, outBuffer.get(), n);
            if (inputDigest == nullptr) {
                outcome = true;
                break;
            }
            streamEnded = true;
            continue;
        }
        if (ret != Z_OK) {
            debugLog("%s : inflate error (%s)\n", kModule, zmsg(stream));
            break;
        }
        if (stream.avail_out == 0) {
            if (overLimit(kChunk)) {
                break;
            }
            if (fileops::write(outBuffer.get(), kChunk, 1, output) != 1) {
                debugLog("%s : write error %d\n", kModule, static_cast<int>(kChunk));
                break;
            }
            SHA256_Update(&shaOut, outBuffer.get(), kChunk);
            stream.next_out = outBuffer.get();
            stream.avail_out = kChunk;
        }
    }
    inflateEnd(&stream);
    in.reset();
    if (inputDigest != nullptr) {
        SHA256_Final(inputDigest, &sha);
    }
    if (outputDigest != nullptr) {
        SHA256_Final(outputDigest, &shaOut);
    }
    // A full disk may only show when the stream's buffer is written out.
    if (outcome && !fileops::flush(output)) {
        debugLog("%s : write error %d\n", kModule, 0);
        outcome = false;
    }
    return outcome;
}

void ImageDecompress::operator()(std::string outputPath, uint64_t offset, uint64_t maxOutput) {
    result = false;
    result = compressor.decompress(updateFilePath, outputPath, offset, maxOutput);
}

void ImageDecompress::operator()(FILE* output, uint64_t offset, uint64_t maxOutput) {
    result = false;
    std::memset(inputDigest, 0, sizeof inputDigest);
    std::memset(outputDigest, 0, sizeof outputDigest);
    result = compressor.decompress(updateFilePath, output, offset, maxOutput, inputDigest,
                                   hashOutput ? outputDigest : nullptr);
}

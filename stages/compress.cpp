#include "stages/compress.h"

#include <zlib.h>

// SHA256_Init/Update/Final are deprecated in OpenSSL 3 but still provided.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "common/fileio.h"

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
    FilePtr in(fileops::open(inputPath.c_str(), "rb", kModule));
    if (!in) {
        const int error = errno;
        const std::string text = fileio::lastErrorText();
        debugLog("%s : fopen error %s\n", kModule, inputPath.c_str());
        return fail(InflateFailure::ReadFailed, inputPath + " cannot be opened: " + text, error);
    }
    if (!fileops::seek(in.get(), offset)) {
        const int error = errno;
        const std::string text = fileio::lastErrorText();
        debugLog("%s : fseeko error %I64d\n", kModule, static_cast<long long>(offset));
        return fail(InflateFailure::ReadFailed,
                    formatText("%s cannot be read from byte %I64u: %s", inputPath.c_str(),
                               static_cast<unsigned long long>(offset), text.c_str()),
                    error);
    }
    FilePtr out(fileops::open(outputPath.c_str(), "wb", kModule));
    if (!out) {
        const int error = errno;
        const std::string text = fileio::lastErrorText();
        debugLog("%s : fopen error %s\n", kModule, outputPath.c_str());
        return fail(InflateFailure::WriteFailed, outputPath + " cannot be created: " + text, error);
    }
    bool outcome = compress(in.get(), length, out.get(), nullptr, nullptr);
    in.reset();
    return closeWritten(out, outcome);
}

bool Compress::compress(FILE* in, uint64_t length, FILE* out, uint8_t* inputDigest,
                        uint8_t* outputDigest) {
    suspended = false;
    fail(InflateFailure::None, std::string());
    bytesIn.store(0);
    bytesOut.store(0);
    if (!inBuffer || !outBuffer) {
        debugLog("%s : no buffers\n", kModule);
        return fail(InflateFailure::CannotStart, "out of memory for the compression buffers",
                    ENOMEM);
    }
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    const int init = deflateInit_(&stream, Z_DEFAULT_COMPRESSION, kZlibVersion, sizeof stream);
    if (init != Z_OK) {
        debugLog("%s : deflateInit error (%s)\n", kModule, zmsg(stream));
        return fail(InflateFailure::CannotStart, zError(init), init == Z_MEM_ERROR ? ENOMEM : 0);
    }
    // Each chunk is hashed as it is read and as it is written: the digests
    // are of exactly the bytes that went through the stream.
    SHA256_CTX shaIn;
    SHA256_Init(&shaIn);
    SHA256_CTX shaOut;
    SHA256_Init(&shaOut);
    const auto writeOut = [&](uint32_t n) {
        if (n > 0 && fileops::write(outBuffer.get(), n, 1, out) != 1) {
            const int error = errno;
            const std::string text = fileio::lastErrorText();
            debugLog("%s : write error %d\n", kModule, static_cast<int>(n));
            return fail(InflateFailure::WriteFailed, text, error);
        }
        SHA256_Update(&shaOut, outBuffer.get(), n);
        bytesOut.fetch_add(n);
        return true;
    };

    stream.next_out = outBuffer.get();
    stream.avail_out = kChunk;
    uint64_t remaining = length;
    uint64_t consumed = 0;
    int flush = Z_NO_FLUSH;
    bool outcome = false;
    for (;;) {
        if (suspendRequested.load()) {
            debugLog("%s : compress suspend\n", kModule);
            suspended = true;
            fail(InflateFailure::Suspended, std::string());
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
            if (chunk == 0 || fileops::read(inBuffer.get(), 1, chunk, in) != chunk) {
                const bool ended = chunk == 0 || std::feof(in) != 0;
                const int error = ended ? 0 : errno;
                const std::string text = ended ? "end of file" : fileio::lastErrorText();
                debugLog("%s : fread (%u) error %s\n", kModule, chunk, text.c_str());
                fail(InflateFailure::ReadFailed,
                     chunk == 0 ? std::string("there is nothing to compress")
                     : ended    ? formatText("it ends %I64u bytes into the %I64u to be read",
                                             static_cast<unsigned long long>(consumed),
                                             static_cast<unsigned long long>(length))
                                : formatText("it could not be read %I64u bytes in: %s",
                                             static_cast<unsigned long long>(consumed), text.c_str()),
                     error);
                break;
            }
            SHA256_Update(&shaIn, inBuffer.get(), chunk);
            consumed += chunk;
            bytesIn.store(consumed);
            stream.next_in = inBuffer.get();
            stream.avail_in = chunk;
        }
        const int ret = deflate(&stream, flush);
        if (ret == Z_STREAM_ERROR) {
            debugLog("%s : deflate error (%s)\n", kModule, zmsg(stream));
            fail(InflateFailure::DataError, zmsg(stream));
            break;
        }
        if (ret == Z_STREAM_END) {
            outcome = writeOut(kChunk - stream.avail_out);
            break;
        }
        if (stream.avail_out == 0) {
            if (!writeOut(kChunk)) {
                break;
            }
            stream.next_out = outBuffer.get();
            stream.avail_out = kChunk;
        }
    }
    deflateEnd(&stream);
    if (inputDigest != nullptr) {
        SHA256_Final(inputDigest, &shaIn);
    }
    if (outputDigest != nullptr) {
        SHA256_Final(outputDigest, &shaOut);
    }
    return outcome;
}

bool Compress::fail(InflateFailure why, const std::string& text, int error) {
    failure = why;
    failureText = text;
    failureError = error;
    return false;
}

// Closes a file this stage wrote; a run that succeeded fails when the close
// loses what was written.
bool Compress::closeWritten(FilePtr& out, bool outcome) {
    if (!closeOutput(out) && outcome) {
        const int error = errno;
        const std::string text = fileio::lastErrorText();
        debugLog("%s : write error %d\n", kModule, 0);
        return fail(InflateFailure::WriteFailed, text, error);
    }
    return outcome;
}

bool Compress::decompress(const std::string& inputPath, const std::string& outputPath,
                          uint64_t offset, uint64_t maxOutput) {
    suspended = false;
    FilePtr out(fileops::open(outputPath.c_str(), "wb", kModule));
    if (!out) {
        const int error = errno;
        const std::string text = fileio::lastErrorText();
        debugLog("%s : fopen error %s\n", kModule, outputPath.c_str());
        return fail(InflateFailure::WriteFailed, text, error);
    }
    bool outcome = decompress(inputPath, out.get(), offset, maxOutput, nullptr, nullptr);
    return closeWritten(out, outcome);
}

bool Compress::decompress(const std::string& inputPath, FILE* output, uint64_t offset,
                          uint64_t maxOutput, uint8_t* inputDigest, OutputSink* sink) {
    FilePtr in(fileops::open(inputPath.c_str(), "rb", kModule));
    if (!in) {
        const int error = errno;
        const std::string text = fileio::lastErrorText();
        debugLog("%s : fopen error %s\n", kModule, inputPath.c_str());
        suspended = false;
        bytesOut.store(0);
        return fail(InflateFailure::ReadFailed, "cannot be opened: " + text, error);
    }
    return decompress(std::move(in), output, offset, maxOutput, inputDigest, sink);
}

bool Compress::decompress(FilePtr in, FILE* output, uint64_t offset, uint64_t maxOutput,
                          uint8_t* inputDigest, OutputSink* sink) {
    suspended = false;
    fail(InflateFailure::None, std::string());
    bytesOut.store(0);
    if (!inBuffer || !outBuffer) {
        debugLog("%s : no buffers\n", kModule);
        return fail(InflateFailure::CannotStart, "out of memory for the unpacking buffers", ENOMEM);
    }
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    const int init = inflateInit_(&stream, kZlibVersion, sizeof stream);
    if (init != Z_OK) {
        debugLog("%s : inflateInit error (%s)\n", kModule, zmsg(stream));
        return fail(InflateFailure::CannotStart, zError(init), init == Z_MEM_ERROR ? ENOMEM : 0);
    }
    if (!fileops::seek(in.get(), offset)) {
        const int error = errno;
        const std::string text = fileio::lastErrorText();
        debugLog("%s : fseeko error %I64d\n", kModule, static_cast<long long>(offset));
        inflateEnd(&stream);
        return fail(InflateFailure::ReadFailed,
                    formatText("cannot be read from byte %I64u: %s",
                               static_cast<unsigned long long>(offset), text.c_str()),
                    error);
    }

    SHA256_CTX sha;
    SHA256_Init(&sha);
    uint8_t* out = sink != nullptr ? sink->firstBuffer() : nullptr;
    if (out == nullptr) {
        out = outBuffer.get();
    }
    stream.next_out = out;
    stream.avail_out = kChunk;
    bool outcome = false;
    // Past the stream's end, or past a failure that the input digest must
    // still see: the input is only read and hashed from here on.
    bool readingOn = false;
    uint64_t written = 0;
    uint64_t consumed = 0;
    const auto overLimit = [&](uint32_t n) {
        if (n > maxOutput - written) {
            debugLog("%s : output over %I64u bytes\n", kModule,
                     static_cast<unsigned long long>(maxOutput));
            fail(InflateFailure::PastLimit, std::string());
            return true;
        }
        written += n;
        bytesOut.store(written);
        return false;
    };
    const auto writeOut = [&](uint32_t n) {
        if (n > 0 && fileops::write(out, n, 1, output) != 1) {
            const int error = errno;
            const std::string text = fileio::lastErrorText();
            debugLog("%s : write error %d\n", kModule, static_cast<int>(n));
            return fail(InflateFailure::WriteFailed, text, error);
        }
        if (sink != nullptr && n > 0) {
            out = sink->take(out, n);
        }
        return true;
    };
    // 0 at the end of the input; a failed read is a ReadFailed.
    const auto readIn = [&](bool& failed) {
        const size_t got = fileops::read(inBuffer.get(), 1, kChunk, in.get());
        failed = got == 0 && std::feof(in.get()) == 0;
        if (failed) {
            const int error = errno;
            const std::string text = fileio::lastErrorText();
            debugLog("%s : fread (%u) error %s\n", kModule, 0u, text.c_str());
            fail(InflateFailure::ReadFailed,
                 formatText("could not be read at byte %I64u: %s",
                            static_cast<unsigned long long>(offset + consumed), text.c_str()),
                 error);
        }
        SHA256_Update(&sha, inBuffer.get(), got);
        consumed += got;
        return got;
    };
    for (;;) {
        if (suspendRequested.load()) {
            debugLog("%s : decompress suspend\n", kModule);
            suspended = true;
            fail(InflateFailure::Suspended, std::string());
            break;
        }
        bool readFailed = false;
        if (readingOn) {
            // The digest covers the payload to the end of the file, so the
            // bytes behind the stream are read too, though not interpreted.
            if (std::feof(in.get()) != 0) {
                outcome = failure == InflateFailure::None;
                break;
            }
            readIn(readFailed);
            if (readFailed) {
                break;
            }
            continue;
        }
        if (stream.avail_in == 0) {
            const size_t got = readIn(readFailed);
            if (readFailed) {
                break;
            }
            if (got == 0) {
                debugLog("%s : fread (%u) error %s\n", kModule, 0u,
                         "end of the input inside the stream");
                fail(InflateFailure::EndedEarly, std::string());
                break;
            }
            stream.next_in = inBuffer.get();
            stream.avail_in = static_cast<uInt>(got);
        }
        const int ret = inflate(&stream, Z_NO_FLUSH);
        if (ret == Z_STREAM_END || (ret == Z_OK && stream.avail_out == 0)) {
            const uint32_t n = kChunk - stream.avail_out;
            if (overLimit(n)) {
                readingOn = inputDigest != nullptr;
                if (readingOn) {
                    continue;
                }
                break;
            }
            if (!writeOut(n)) {
                break;
            }
            stream.next_out = out;
            stream.avail_out = kChunk;
            if (ret == Z_OK) {
                continue;
            }
            if (inputDigest == nullptr) {
                outcome = true;
                break;
            }
            readingOn = true;
            continue;
        }
        if (ret != Z_OK) {
            const std::string words = stream.msg != nullptr ? stream.msg : zError(ret);
            debugLog("%s : inflate error (%s)\n", kModule, zmsg(stream));
            if (ret == Z_MEM_ERROR) {
                fail(InflateFailure::CannotStart, words, ENOMEM);
                break;
            }
            fail(InflateFailure::DataError, words);
            readingOn = inputDigest != nullptr;
            if (readingOn) {
                continue;
            }
            break;
        }
    }
    inflateEnd(&stream);
    in.reset();
    if (inputDigest != nullptr) {
        SHA256_Final(inputDigest, &sha);
    }
    // A full disk may only show when the stream's buffer is written out.
    if (outcome && !fileops::flush(output)) {
        const int error = errno;
        const std::string text = fileio::lastErrorText();
        debugLog("%s : write error %d\n", kModule, 0);
        outcome = fail(InflateFailure::WriteFailed, text, error);
    }
    return outcome;
}

void ImageDecompress::operator()(std::string outputPath, uint64_t offset, uint64_t maxOutput) {
    result = false;
    result = compressor.decompress(updateFilePath, outputPath, offset, maxOutput);
}

void ImageDecompress::operator()(FILE* output, uint64_t offset, uint64_t maxOutput,
                                 OutputSink* sink) {
    result = false;
    std::memset(inputDigest, 0, sizeof inputDigest);
    result = compressor.decompress(updateFilePath, output, offset, maxOutput, inputDigest, sink);
}

void ImageDecompress::operator()(FilePtr input, FILE* output, uint64_t offset, uint64_t maxOutput,
                                 OutputSink* sink) {
    result = false;
    std::memset(inputDigest, 0, sizeof inputDigest);
    result = compressor.decompress(std::move(input), output, offset, maxOutput, inputDigest, sink);
}

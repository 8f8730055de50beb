// The compression stage: zlib streams between files in 4 MiB chunks.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/common.h"

// What ended a decompression before its stream's end.
enum class InflateFailure {
    None,
    Suspended,    // a suspend was requested
    CannotStart,  // no buffers, or zlib could not start
    ReadFailed,   // the input could not be opened, positioned or read
    DataError,    // zlib refused the stream
    PastLimit,    // the output would grow past maxOutput
    EndedEarly,   // the input ended inside the stream
    WriteFailed,  // the output could not be written or flushed
};

// Takes the inflated output beside the file it goes to, chunk by chunk, on
// the thread that inflates. Each chunk but the last is Compress::kChunk long.
class OutputSink {
public:
    // The buffer to inflate the first chunk into (kChunk bytes); nullptr
    // for the stage's own.
    virtual uint8_t* firstBuffer() = 0;
    // length bytes of output at data, already in the file; returns the
    // buffer for the next chunk, which may be data itself.
    virtual uint8_t* take(uint8_t* data, uint32_t length) = 0;

protected:
    ~OutputSink() = default;
};

class Compress {
public:
    static constexpr uint32_t kChunk = 4194304;

    Compress();
    Compress(const Compress&) = delete;
    Compress& operator=(const Compress&) = delete;

    // Safe from another thread; the running operation ends at its next step.
    void requestSuspend();
    // Deflates length bytes from offset of inputPath into a new zlib stream.
    bool compress(const std::string& inputPath, uint64_t offset, uint64_t length,
                  const std::string& outputPath);
    // The same from an open stream at its position into another, which is
    // neither flushed nor closed. With inputDigest, stores there the SHA-256
    // of the bytes read; with outputDigest, of the bytes written: each of
    // exactly what went through the stream, read once.
    bool compress(FILE* input, uint64_t length, FILE* output, uint8_t* inputDigest,
                  uint8_t* outputDigest);
    // Inflates the zlib stream starting at offset of inputPath into outputPath.
    // Fails once the output would grow past maxOutput bytes.
    bool decompress(const std::string& inputPath, const std::string& outputPath, uint64_t offset,
                    uint64_t maxOutput = UINT64_MAX);
    // The same into an open stream, which is flushed but not closed. With
    // inputDigest, reads on to the end of the input and stores there the
    // SHA-256 of every byte read from offset on: the bytes actually inflated.
    // It does so also after a data error, an output past the limit or an
    // early end, so that the caller can tell a damaged payload from one that
    // changed while it was read. With sink, every chunk written is also
    // handed to it.
    bool decompress(const std::string& inputPath, FILE* output, uint64_t offset, uint64_t maxOutput,
                    uint8_t* inputDigest, OutputSink* sink = nullptr);
    // The same from an input the caller opened; closed here.
    bool decompress(FilePtr input, FILE* output, uint64_t offset, uint64_t maxOutput,
                    uint8_t* inputDigest, OutputSink* sink = nullptr);
    // Whether the last run ended because a suspend was requested; read it
    // after the run (after joining its thread).
    bool wasSuspended() const { return suspended; }
    // Why the last run failed; None after success.
    InflateFailure getFailure() const { return failure; }
    // zlib's words for a data error; for a failed read, what could not be
    // done with the input and the system's words ("cannot be opened: ...");
    // the system's words for a failed write.
    const std::string& getFailureText() const { return failureText; }
    // errno of a failed read or write: ENOSPC for a full volume.
    int getFailureError() const { return failureError; }
    // Bytes the running or last decompression has inflated so far, or the
    // compression has written.
    uint64_t getBytesOut() const { return bytesOut.load(); }
    // Bytes the running or last compression has read.
    uint64_t getBytesIn() const { return bytesIn.load(); }

private:
    std::atomic<bool> suspendRequested{false};
    std::atomic<uint64_t> bytesOut{0};
    std::atomic<uint64_t> bytesIn{0};
    bool fail(InflateFailure why, const std::string& text, int error = 0);
    bool closeWritten(FilePtr& out, bool outcome);

    bool suspended = false;
    InflateFailure failure = InflateFailure::None;
    std::string failureText;
    int failureError = 0;
    ChunkBuffer inBuffer;
    ChunkBuffer outBuffer;
};

// Thread payload of the update job: inflates the update file's payload.
class ImageDecompress {
public:
    explicit ImageDecompress(const std::string& updateFilePath) : updateFilePath(updateFilePath) {}

    // maxOutput bounds the temporary file: a payload is never allowed to
    // inflate beyond the image it claims to hold and fill the user's disk.
    void operator()(std::string outputPath, uint64_t offset, uint64_t maxOutput = UINT64_MAX);
    // Into a stream the job holds open; also takes the payload's digest,
    // and hands every chunk written to sink.
    void operator()(FILE* output, uint64_t offset, uint64_t maxOutput, OutputSink* sink);
    // The same from the update file as the job opened it.
    void operator()(FilePtr input, FILE* output, uint64_t offset, uint64_t maxOutput,
                    OutputSink* sink);
    void requestSuspend() { compressor.requestSuspend(); }
    bool getResult() const { return result; }
    bool wasSuspended() const { return compressor.wasSuspended(); }
    InflateFailure getFailure() const { return compressor.getFailure(); }
    const std::string& getFailureText() const { return compressor.getFailureText(); }
    int getFailureError() const { return compressor.getFailureError(); }
    uint64_t getBytesOut() const { return compressor.getBytesOut(); }
    // SHA-256 of the bytes the last stream run read from the update file.
    const uint8_t* getInputDigest() const { return inputDigest; }

private:
    std::string updateFilePath;
    bool result = false;
    uint8_t inputDigest[32] = {};
    Compress compressor;
};

// The decompression stage on arbitrary payloads with a bounded output. zlib
// itself, over the same bytes in memory, says what the stage must do: accept
// exactly the streams that end within the bound, and write what they hold.
// The stream form must also take the digest of every byte it read.
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "stages/compress.h"
#include "tests/fuzz/fuzzutil.h"

namespace {

constexpr uint64_t kBound = 1 << 20;

// The stream's content when it ends within kBound bytes of output.
bool reference(const uint8_t* data, size_t size, fuzz::Bytes& out) {
    z_stream s{};
    if (inflateInit(&s) != Z_OK) {
        return false;
    }
    // Kept between runs: a fresh megabyte per run would cost more than zlib.
    static fuzz::Bytes buffer(kBound + 1);
    s.next_in = const_cast<Bytef*>(data);
    s.avail_in = static_cast<uInt>(size);
    s.next_out = buffer.data();
    s.avail_out = static_cast<uInt>(buffer.size());
    const int ret = inflate(&s, Z_FINISH);
    out.assign(buffer.begin(), buffer.begin() + static_cast<long>(s.total_out));
    inflateEnd(&s);
    return ret == Z_STREAM_END && out.size() <= kBound;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLog();
    return 0;
}

// Takes the chunks as the job's copy does, into buffers of its own in turn,
// and keeps what it was handed.
struct Collector : OutputSink {
    std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(Compress::kChunk),
                                       std::vector<uint8_t>(Compress::kChunk)};
    int next = 0;
    fuzz::Bytes handed;
    uint8_t* firstBuffer() override { return buffers[0].data(); }
    uint8_t* take(uint8_t* chunk, uint32_t length) override {
        handed.insert(handed.end(), chunk, chunk + length);
        next ^= 1;
        return buffers[next].data();
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = fuzz::scratchFile("update.qlu");
    static const std::string output = fuzz::scratchFile("update.qlu.tmp");
    // The offset skips a header-like prefix: the stage must start exactly there.
    const size_t offset = size > 0 ? data[0] % 8 : 0;
    fuzz::writeFile(input, data, size);
    fuzz::Bytes expected;
    const bool valid = size > offset && reference(data + offset, size - offset, expected);

    static ImageDecompress stage(input);
    stage(output, offset, kBound);
    FUZZ_CHECK(stage.getResult() == valid);
    if (valid) {
        FUZZ_CHECK(fuzz::readFile(output) == expected);
    }

    // Into an open stream, with the digest of the bytes read, every chunk
    // also handed over.
    FILE* out = std::fopen(output.c_str(), "w+b");
    FUZZ_CHECK(out != nullptr);
    static Collector sink;
    sink.handed.clear();
    stage(out, offset, kBound, &sink);
    std::fclose(out);
    FUZZ_CHECK(stage.getResult() == valid);
    if (valid) {
        FUZZ_CHECK(fuzz::readFile(output) == expected);
        FUZZ_CHECK(sink.handed == expected);
        uint8_t digest[32];
        SHA256(data + offset, size - offset, digest);
        FUZZ_CHECK(std::memcmp(stage.getInputDigest(), digest, 32) == 0);
    }
    return 0;
}

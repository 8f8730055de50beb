#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <functional>
#include <thread>

#include "stages/compress.h"
#include "tests/support/testutil.h"

using testutil::captureLog;
using testutil::countOf;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kChunk = Compress::kChunk;

// Incompressible content: deflate output is then slightly longer than its
// input, so both stream directions cross the 4 MiB buffers at the same sizes.
Bytes noise(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// A zlib stream made by zlib itself, independent of the stage under test.
Bytes zlibStream(const Bytes& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()),
                        Z_DEFAULT_COMPRESSION),
              Z_OK);
    out.resize(size);
    return out;
}

// A stream whose first 4 MiB yield all of data's output, while the stream
// itself ends in the next input chunk (empty stored blocks in between): the
// last inflate call then has nothing left to write.
Bytes streamEndingInTheNextChunk(const Bytes& data) {
    z_stream s{};
    EXPECT_EQ(deflateInit(&s, Z_DEFAULT_COMPRESSION), Z_OK);
    Bytes out(compressBound(static_cast<uLong>(data.size())) + 64);
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_SYNC_FLUSH), Z_OK);
    out.resize(s.total_out);
    deflateEnd(&s);
    EXPECT_LT(out.size(), kChunk);
    while (out.size() < kChunk + 5) {
        out.insert(out.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
    }
    out.insert(out.end(), {0x01, 0x00, 0x00, 0xFF, 0xFF});
    const uLong check =
        adler32(adler32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size()));
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(check >> shift));
    }
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class CompressTest : public ::testing::Test {
protected:
    std::string file(const std::string& name, const Bytes& bytes) {
        const std::string path = dir.file(name);
        testutil::writeFile(path, bytes);
        return path;
    }

    testutil::TempDir dir;
    Compress stage;
};

TEST_F(CompressTest, RoundTripsAroundTheBufferSize) {
    const Bytes junk = testutil::patternBytes(333, 1);
    for (const size_t size : {size_t{1}, kChunk - 1, kChunk, kChunk + 1, 2 * kChunk}) {
        for (const bool compressible : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (compressible ? " zeros" : " noise"));
            const Bytes data = compressible ? Bytes(size, 0) : noise(size, 7);
            // The input ends exactly with the range, so a read past it would fail.
            const std::string input = file("input", concat(junk, data));
            const std::string packed = dir.file("packed");
            std::string log = captureLog(
                [&] { EXPECT_TRUE(stage.compress(input, junk.size(), data.size(), packed)); });
            EXPECT_EQ(log, "");

            const Bytes stream = testutil::readFile(packed);
            Bytes check(data.size() + 1);
            uLongf checkSize = static_cast<uLongf>(check.size());
            ASSERT_EQ(uncompress(check.data(), &checkSize, stream.data(),
                                 static_cast<uLong>(stream.size())),
                      Z_OK);
            check.resize(checkSize);
            EXPECT_TRUE(check == data) << "not a standard zlib stream of the range";

            // As in an update file: a 104-byte header before, stray bytes after.
            const std::string update = file(
                "update", concat(concat(Bytes(104, 0xAB), stream), testutil::patternBytes(77, 2)));
            const std::string out = dir.file("out");
            log = captureLog([&] { EXPECT_TRUE(stage.decompress(update, out, 104)); });
            EXPECT_EQ(log, "");
            EXPECT_TRUE(testutil::readFile(out) == data);
        }
    }
}

TEST_F(CompressTest, StreamEndingWithAnEmptyOutputBufferSucceeds) {
    const Bytes data = testutil::patternBytes(kChunk, 6);
    const std::string input = file("input", streamEndingInTheNextChunk(data));
    bool ok = false;
    const std::string log = captureLog([&] { ok = stage.decompress(input, dir.file("out"), 0); });
    EXPECT_TRUE(ok) << log;
    EXPECT_TRUE(testutil::readFile(dir.file("out")) == data);
}

TEST_F(CompressTest, BadInputFailsWithItsOneLine) {
    const Bytes data = noise(kChunk + 5000, 3);
    const Bytes stream = zlibStream(data);
    const std::string plain = file("plain", data);
    const std::string out = dir.file("out");
    const std::string missing = dir.file("missing");
    const std::string badOut = dir.file("no/such/dir/out");
    Bytes corrupt = stream;
    corrupt[0] ^= 1;  // breaks the header check bits

    struct Case {
        const char* what;
        std::function<bool()> run;
        std::string line;  // the line, or its start where it ends with the system's text
        InflateFailure kind = InflateFailure::None;  // what decompress says it met
    };
    const std::string cut = file("cut", Bytes(stream.begin(), stream.end() - 1000));
    const std::string bad = file("bad", corrupt);
    // clang-format off
    const Case cases[] = {
        {"truncated stream", [&] { return stage.decompress(cut, out, 0); },
         "compress : fread (0) error ", InflateFailure::EndedEarly},
        {"corrupt stream", [&] { return stage.decompress(bad, out, 0); },
         "compress : inflate error (incorrect header check)\n", InflateFailure::DataError},
        {"past the limit", [&] { return stage.decompress(cut, out, 0, kChunk - 1); },
         "compress : output over 4194303 bytes\n", InflateFailure::PastLimit},
        {"nothing to compress", [&] { return stage.compress(plain, 0, 0, out); },
         "compress : fread (0) error "},
        {"range past the end", [&] { return stage.compress(plain, kChunk, 6000, out); },
         "compress : fread (6000) error "},
        // decompress creates its output before it opens the input, compress after.
        {"decompress, both missing", [&] { return stage.decompress(missing, badOut, 0); },
         "compress : fopen error " + badOut + "\n", InflateFailure::WriteFailed},
        {"decompress, input missing", [&] { return stage.decompress(missing, out, 0); },
         "compress : fopen error " + missing + "\n", InflateFailure::ReadFailed},
        {"compress, both missing", [&] { return stage.compress(missing, 0, 10, badOut); },
         "compress : fopen error " + missing + "\n"},
        {"compress, output missing", [&] { return stage.compress(plain, 0, 10, badOut); },
         "compress : fopen error " + badOut + "\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool ok = true;
        const std::string log = captureLog([&] { ok = c.run(); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(log.rfind(c.line, 0), 0u) << log;
        EXPECT_EQ(countOf(log, "\n"), 1) << log;
        if (c.kind != InflateFailure::None) {
            EXPECT_EQ(stage.getFailure(), c.kind);
        }
    }
}

// A few bytes to /dev/full sit in the stream's buffer until the close, which
// is the only call that fails: a run that ignores it would report data that
// never reached the disk.
TEST_F(CompressTest, DataLostAtCloseIsAFailure) {
    const std::string full = testutil::hostPath("/dev/full");
    const Bytes data = noise(1000, 8);
    const std::string plain = file("plain", data);
    const std::string packed = file("packed", concat(Bytes(104, 0), zlibStream(data)));
    struct Case {
        const char* what;
        std::function<bool()> run;
    };
    ImageDecompress job(packed);
    const Case cases[] = {
        {"compress", [&] { return stage.compress(plain, 0, data.size(), full); }},
        {"decompress", [&] { return stage.decompress(packed, full, 104); }},
        {"ImageDecompress",
         [&] {
             job(full, 104);
             return job.getResult();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool ok = true;
        const std::string log = captureLog([&] { ok = c.run(); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(log, "compress : write error 0\n");
    }
    EXPECT_EQ(job.getFailure(), InflateFailure::WriteFailed);
    EXPECT_EQ(job.getFailureError(), ENOSPC);
}

TEST_F(CompressTest, SuspendRequestedBeforeARunStopsItAtTheFirstPass) {
    const std::string plain = file("plain", noise(1000, 4));
    const std::string packed = file("packed", zlibStream(noise(1000, 4)));
    EXPECT_EQ(captureLog([&] { stage.requestSuspend(); }), "compress : request suspend\n");

    bool ok = true;
    EXPECT_EQ(captureLog([&] { ok = stage.compress(plain, 0, 1000, dir.file("c")); }),
              "compress : compress suspend\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(captureLog([&] { ok = stage.decompress(packed, dir.file("d"), 0); }),
              "compress : decompress suspend\n");
    EXPECT_FALSE(ok);
    // Both outputs were created before the flag was seen; nothing was written.
    EXPECT_TRUE(testutil::fileExists(dir.file("c")));
    EXPECT_TRUE(testutil::readFile(dir.file("d")).empty());
}

TEST_F(CompressTest, ImageDecompressRunsAsTheJobStartsIt) {
    const Bytes data = noise(3000, 5);
    const std::string update = file("update", concat(Bytes(136, 0), zlibStream(data)));
    ImageDecompress decompress(update);
    const std::string out = update + ".tmp";

    std::thread first(std::ref(decompress), out, 136ul);
    first.join();
    EXPECT_TRUE(decompress.getResult());
    EXPECT_TRUE(testutil::readFile(out) == data);

    // A later run starts from a cleared result and stops at once.
    captureLog([&] {
        decompress.requestSuspend();
        std::thread second(std::ref(decompress), out, 136ul);
        second.join();
    });
    EXPECT_FALSE(decompress.getResult());
}

}  // namespace

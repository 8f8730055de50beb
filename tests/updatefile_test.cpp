#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>

#include "stages/updatefile.h"
#include "tests/support/testutil.h"

using testutil::captureLog;
using testutil::countOf;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes digestOf(uint8_t seed) {
    Bytes d(32);
    for (size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<uint8_t>(seed + 7 * i);
    }
    return d;
}

uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The header of an update file with its encoding removed; its length comes
// from the plain count at offset 8.
Bytes plainHeader(const Bytes& file) {
    const size_t size = 104 + 32 * static_cast<size_t>(file[8] | (file[9] << 8));
    Bytes h(file.begin(), file.begin() + static_cast<long>(size));
    UpdateFile::encode(h.data(), h.size());
    return h;
}

uint32_t zlibCrc(const Bytes& plain) {
    return static_cast<uint32_t>(crc32(0, plain.data() + 16, static_cast<uInt>(plain.size() - 16)));
}

// Puts a plain header back into file with a correct CRC, as any producer could.
void seal(Bytes& file, Bytes plain) {
    const uint32_t crc = zlibCrc(plain);
    for (int i = 0; i < 4; ++i) {
        plain[12 + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    UpdateFile::encode(plain.data(), plain.size());
    std::copy(plain.begin(), plain.end(), file.begin());
}

constexpr uint64_t kStart = 0x123456789ABull;  // beyond 4 GiB on purpose
constexpr uint64_t kSize = (5ull << 32) | 17;

// What one loadHeader call gave back; the outputs start as sentinels.
struct Loaded {
    bool ok = false;
    uint64_t start = 7;
    uint64_t size = 8;
    uint8_t dataHash[32] = {9};
    uint8_t auxHash[32] = {10};
    std::string log;
};

Loaded load(UpdateFile& reader, const std::string& path) {
    Loaded r;
    r.log =
        captureLog([&] { r.ok = reader.loadHeader(path, r.start, r.size, r.dataHash, r.auxHash); });
    return r;
}

class UpdateFileTest : public ::testing::Test {
protected:
    // Writes an update file whose table has entries 0 and hashNum - 1 set.
    bool write(const std::string& path, uint32_t hashNum, const Bytes& payload) {
        testutil::writeFile(dir.file("payload"), payload);
        bool ok = true;
        captureLog([&] {
            UpdateFile writer(hashNum);
            if (hashNum > 0) {
                ok = writer.setupHashData(digestOf(1).data(), 0) &&
                     writer.setupHashData(digestOf(2).data(), static_cast<int>(hashNum - 1));
            }
            ok = ok && writer.setupHeader(kStart, kSize, digestOf(3).data(), digestOf(4).data()) &&
                 writer.appendFile(path, dir.file("payload"));
        });
        return ok;
    }

    testutil::TempDir dir;
    const std::string path = dir.file("update.bin");
};

TEST_F(UpdateFileTest, WriterAndReaderAgreeForEveryTableSize) {
    // The 4 MiB + 3 payload makes appendFile copy a full chunk and a tail.
    const std::pair<uint32_t, size_t> cases[] = {
        {0, 5}, {1, UpdateFile::kCopyChunk + 3}, {65535, 100}};
    for (const auto& [hashNum, payloadSize] : cases) {
        SCOPED_TRACE(hashNum);
        const Bytes payload = testutil::patternBytes(payloadSize, hashNum);
        ASSERT_TRUE(write(path, hashNum, payload));

        const uint32_t headerSize = 104 + 32 * hashNum;
        const Bytes file = testutil::readFile(path);
        ASSERT_EQ(file.size(), headerSize + payload.size());
        const Bytes plainPart = {'Q',
                                 'L',
                                 'U',
                                 'P',
                                 'D',
                                 0,
                                 1,
                                 1,
                                 static_cast<uint8_t>(hashNum),
                                 static_cast<uint8_t>(hashNum >> 8),
                                 0,
                                 0};
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 12), plainPart);
        const Bytes plain = plainHeader(file);
        EXPECT_EQ(le32(&plain[12]), zlibCrc(plain)) << "header CRC differs from zlib's crc32";
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), file.begin() + headerSize));

        UpdateFile reader;
        const Loaded r = load(reader, path);
        ASSERT_TRUE(r.ok) << r.log;
        EXPECT_EQ(r.start, kStart);
        EXPECT_EQ(r.size, kSize);
        EXPECT_EQ(Bytes(r.dataHash, r.dataHash + 32), digestOf(3));
        EXPECT_EQ(Bytes(r.auxHash, r.auxHash + 32), digestOf(4));
        EXPECT_EQ(reader.getHeaderSize(), headerSize);
        EXPECT_EQ(reader.getHashNum(), hashNum);
        if (hashNum > 0) {
            // With one entry the second setupHashData overwrote the first.
            const uint8_t* first = reader.getHashData(0);
            const uint8_t* last = reader.getHashData(static_cast<int>(hashNum - 1));
            EXPECT_EQ(Bytes(first, first + 32), hashNum > 1 ? digestOf(1) : digestOf(2));
            EXPECT_EQ(Bytes(last, last + 32), digestOf(2));
        }
        EXPECT_EQ(reader.getHashData(static_cast<int>(hashNum)), nullptr);
        EXPECT_NE(r.log.find("updatefile : loadHeader start offset 1250999896491 size "
                             "21474836497 hash num " +
                             std::to_string(hashNum) + "\n"),
                  std::string::npos)
            << r.log;
    }
}

TEST(UpdateFileEncoding, KeystreamIsFixedAndUndoesItself) {
    Bytes zeros(40, 0);
    UpdateFile::encode(zeros.data(), zeros.size());
    EXPECT_EQ(Bytes(zeros.begin(), zeros.begin() + 12), Bytes(12, 0));
    // Files from other producers must decode: the keystream is part of the format.
    const Bytes keystream = {0x51, 0x9f, 0x43, 0xef, 0x58, 0x4d, 0x74, 0x42};
    EXPECT_EQ(Bytes(zeros.begin() + 12, zeros.begin() + 20), keystream);

    const Bytes original = testutil::patternBytes(2000, 9);
    Bytes data = original;
    UpdateFile::encode(data.data(), data.size());
    EXPECT_NE(data, original);
    UpdateFile::encode(data.data(), data.size());
    EXPECT_EQ(data, original);

    const UpdateFile crc;
    EXPECT_EQ(crc.calcCrc(original.data(), 0), 0u);
    EXPECT_EQ(crc.calcCrc(original.data(), original.size()),
              crc32(0, original.data(), static_cast<uInt>(original.size())));
}

// One valid file with two table entries (header 168 bytes); each case damages it once.
class LoadHeaderTest : public UpdateFileTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(write(path, 2, testutil::patternBytes(1000, 3)));
        valid = testutil::readFile(path);
    }

    Bytes valid;
};

TEST_F(LoadHeaderTest, EachDamageFailsWithItsOneLine) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::string line;  // after "updatefile : loadHeader "; empty: the CRC line
        bool decoded;      // failed after decoding, so the decode line comes first
    };
    auto flip = [](size_t offset) { return [offset](Bytes& f) { f[offset] ^= 0x10; }; };
    // clang-format off
    const Case cases[] = {
        {"missing file", [](Bytes& f) { f.clear(); }, "file open error (" + path + ") ", false},
        {"shorter than the fixed part", [](Bytes& f) { f.resize(103); },
         "read (104) file error (" + path + ") ", false},
        {"ends inside the table", [](Bytes& f) { f.resize(104 + 40); },
         "read (64) file error (" + path + ") ", false},
        {"sixth code byte", [](Bytes& f) { f[5] = '!'; }, "invalid header code QLUPD! ", false},
        {"version 2", [](Bytes& f) { f[6] = 2; }, "invalid version 2", false},
        {"bit in the table", flip(150), "", true},
        {"bit in the stored CRC", flip(13), "", true},
        {"bit in startOffset", flip(25), "", true},
        {"plain count one lower", [](Bytes& f) { f[8] = 1; }, "", true},
        {"sealed copy of the count differs",
         [](Bytes& f) { Bytes h = plainHeader(f); h[16] = 3; seal(f, h); },
         "invalid hash num 2 3 ", true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = valid;
        c.damage(file);
        std::string expected = "updatefile : loadHeader " + c.line + "\n";
        if (c.line.empty()) {
            const Bytes plain = plainHeader(file);
            char line[80];
            std::snprintf(line, sizeof line, "updatefile : loadHeader invalid crc %x %x \n",
                          zlibCrc(plain), le32(&plain[12]));
            expected = line;
        }
        std::remove(path.c_str());
        if (!file.empty()) {
            testutil::writeFile(path, file);
        }
        UpdateFile reader;
        const Loaded r = load(reader, path);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.log.rfind("updatefile : loadHeader start " + path + "\n", 0), 0u) << r.log;
        ASSERT_GE(r.log.size(), expected.size());
        EXPECT_EQ(r.log.substr(r.log.size() - expected.size()), expected) << r.log;
        EXPECT_EQ(countOf(r.log, "\n"), c.decoded ? 3 : 2) << r.log;
        EXPECT_EQ(r.start, 7u);
        EXPECT_EQ(r.size, 8u);
        EXPECT_EQ(r.dataHash[0], 9);
        EXPECT_EQ(r.auxHash[0], 10);
    }
}

TEST_F(LoadHeaderTest, UncheckedBytesAndThePayloadDoNotMatter) {
    // clang-format off
    const std::pair<const char*, std::function<void(Bytes&)>> cases[] = {
        {"plain bytes 7, 10, 11", [](Bytes& f) { f[7] = 0xEE; f[10] = 0x55; f[11] = 0xAA; }},
        {"sealed reserved bytes 18..23",
         [](Bytes& f) { Bytes h = plainHeader(f); std::fill(&h[18], &h[24], 0xC3); seal(f, h); }},
        {"damaged payload", [](Bytes& f) { f[200] ^= 0xFF; }},
    };
    // clang-format on
    for (const auto& [what, change] : cases) {
        SCOPED_TRACE(what);
        Bytes file = valid;
        change(file);
        testutil::writeFile(path, file);
        UpdateFile reader;
        const Loaded r = load(reader, path);
        EXPECT_TRUE(r.ok) << r.log;
        EXPECT_EQ(r.start, kStart);
        EXPECT_EQ(reader.getHeaderSize(), 168u);
    }
}

TEST_F(UpdateFileTest, WriterRefusesWhatCannotBecomeAReadableFile) {
    const Bytes someHash = digestOf(1);
    const uint8_t* hash = someHash.data();
    const std::string payload = dir.file("payload");
    const std::string empty = dir.file("empty");
    testutil::writeFile(payload, {1, 2, 3});
    testutil::writeFile(empty, {});

    // No header buffer: refused without a line.
    UpdateFile noHeader;
    std::string log = captureLog([&] {
        EXPECT_FALSE(noHeader.setupHashData(hash, 0));
        EXPECT_FALSE(noHeader.setupHeader(1, 2, hash, hash));
        EXPECT_FALSE(noHeader.appendFile(path, payload));
    });
    EXPECT_EQ(log, "");
    EXPECT_FALSE(testutil::fileExists(path));

    // A count that does not fit the 16-bit field would be written truncated.
    log = captureLog([&] {
        UpdateFile tooMany(65536);
        EXPECT_FALSE(tooMany.setupHeader(1, 2, hash, hash));
        EXPECT_FALSE(tooMany.appendFile(path, payload));
    });
    EXPECT_EQ(log, "updatefile : hash num 65536 over 65535\n");

    UpdateFile writer(2);
    captureLog([&] {
        EXPECT_FALSE(writer.setupHashData(hash, 2));
        EXPECT_TRUE(writer.setupHeader(1, 2, hash, hash));
    });
    log = captureLog([&] { EXPECT_FALSE(writer.appendFile(path, empty)); });
    EXPECT_EQ(log, "updatefile : appendFile read file size 0 (" + empty + ") \n");
}

// Header and payload fit the stream's buffer, so on a full disk only the
// close fails; the file is lost and appendFile must say so.
TEST_F(UpdateFileTest, AppendFileFailsWhenTheCloseLosesTheData) {
    const std::string full = testutil::hostPath("/dev/full");
    testutil::writeFile(dir.file("payload"), {1, 2, 3});
    UpdateFile writer(1);
    bool ok = true;
    const std::string log = captureLog([&] {
        writer.setupHeader(1, 2, digestOf(1).data(), digestOf(2).data());
        ok = writer.appendFile(full, dir.file("payload"));
    });
    EXPECT_FALSE(ok);
    const std::string line = "updatefile : appendFile write (0) file error (" + full + ") \n";
    ASSERT_GE(log.size(), line.size());
    EXPECT_EQ(log.substr(log.size() - line.size()), line) << log;
    EXPECT_EQ(countOf(log, "appendFile"), 1) << log;
}

}  // namespace

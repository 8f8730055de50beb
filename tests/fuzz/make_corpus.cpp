// Writes the seed corpora of the fuzz targets, made by the project's own
// writer: update files (UpdateFileMaker), zlib payloads (Compress)
// and the sectors of the card the job target updates.
// Usage: make_fuzz_corpus DIR (writes DIR/<target>/<seed>).
#include <cstdio>
#include <filesystem>
#include <string>

#include "stages/compress.h"
#include "stages/updatefilemaker.h"
#include "tests/fuzz/fuzzutil.h"

namespace fs = std::filesystem;
using fuzz::Bytes;

namespace {

std::string gOut;

void seed(const char* target, const char* name, const Bytes& bytes) {
    fs::create_directories(gOut + "/" + target);
    fuzz::writeFile(gOut + "/" + target + "/" + name, bytes.data(), bytes.size());
}

Bytes deflated(const Bytes& data) {
    const std::string plain = fuzz::scratchFile("plain");
    const std::string packed = fuzz::scratchFile("packed");
    fuzz::writeFile(plain, data.data(), data.size());
    Compress compressor;
    if (!compressor.compress(plain, 0, data.size(), packed)) {
        std::abort();
    }
    return fuzz::readFile(packed);
}

// An update file for the job's card whose root holds root, with hashNum
// table entries.
Bytes updateFile(const Bytes& root, uint32_t hashNum, uint64_t startOffset = fuzz::kRootOffset) {
    const std::string payload = fuzz::scratchFile("payload");
    const std::string out = fuzz::scratchFile("update.qlu");
    const std::string rootFile = fuzz::scratchFile("root");
    fuzz::writeFile(rootFile, root.data(), root.size());
    UpdateFileMaker maker(hashNum);
    uint8_t entry[32] = {};
    bool ok = true;
    for (uint32_t i = 0; ok && i < hashNum; ++i) {
        entry[0] = static_cast<uint8_t>(i);
        ok = maker.setHashEntry(static_cast<int>(i), entry);
    }
    ok = ok && maker.pack(rootFile, 0, root.size(), payload) &&
         maker.seal(payload, startOffset, root.size(), out);
    if (!ok) {
        std::abort();
    }
    return fuzz::readFile(out);
}

Bytes mbrInput(uint64_t fileSize, uint32_t bytesPerSector, const Bytes& sector) {
    Bytes in;
    for (int i = 0; i < 8; ++i) {
        in.push_back(static_cast<uint8_t>(fileSize >> (8 * i)));
    }
    for (int i = 0; i < 4; ++i) {
        in.push_back(static_cast<uint8_t>(bytesPerSector >> (8 * i)));
    }
    in.insert(in.end(), sector.begin(), sector.begin() + 512);
    return in;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 64;
    }
    gOut = argv[1];
    fuzz::quietLog();

    // A new root partition that deflates well, so the seeds stay small.
    Bytes root(fuzz::kRootSize);
    for (size_t i = 0; i < root.size(); ++i) {
        root[i] = static_cast<uint8_t>((i * 7) % 251);
    }
    seed("job", "update", updateFile(root, 0));
    seed("job", "update-2-entries", updateFile(root, 2));
    seed("job", "update-other-offset", updateFile(root, 0, fuzz::kRootOffset + 512));

    Bytes small(300);
    for (size_t i = 0; i < small.size(); ++i) {
        small[i] = static_cast<uint8_t>(i * i);
    }
    seed("loadheader", "hashnum-0", updateFile(small, 0));
    seed("loadheader", "hashnum-1", updateFile(small, 1));
    seed("loadheader", "hashnum-3", updateFile(small, 3));

    // The first byte picks the offset (its value modulo 8): a zlib stream's
    // first byte, 0x78, picks 0.
    seed("decompress", "stream", deflated(small));
    seed("decompress", "stream-of-root", deflated(root));
    Bytes behind = {0x04, 0, 0, 0};
    const Bytes stream = deflated(small);
    behind.insert(behind.end(), stream.begin(), stream.end());
    behind.insert(behind.end(), {1, 2, 3});
    seed("decompress", "stream-at-4-with-trailer", behind);

    const Bytes card = fuzz::makeCard(1);
    seed("mbr", "card", mbrInput(card.size(), 512, card));
    seed("mbr", "card-cut-short", mbrInput(fuzz::kRootOffset + fuzz::kRootSize - 1, 512, card));
    seed("mbr", "card-4096", mbrInput(5ull << 30, 4096, card));
    return 0;
}

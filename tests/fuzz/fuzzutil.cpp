#include "tests/fuzz/fuzzutil.h"

#include <openssl/sha.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "stages/updatefile.h"

namespace fs = std::filesystem;

namespace fuzz {
namespace {

struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "qlfuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = pattern;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

Scratch& scratch() {
    static Scratch folder;
    return folder;
}

}  // namespace

std::string scratchFile(const char* name) {
    return scratch().path + "/" + name;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) ||
        std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

Bytes readFile(const std::string& path) {
    Bytes out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    std::fclose(f);
    return out;
}

std::vector<std::string> scratchNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(scratch().path)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

void quietLog() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
}

void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "==fuzz== check failed: %s at %s:%d\n", what, file, line);
    std::abort();
}

Bytes makeCard(uint32_t seed) {
    Bytes card((uint64_t{kRootStart} + kRootCount + 16) * 512);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < card.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Half the bytes repeat so that deflate has something to do.
        card[i] = (i & 64) ? static_cast<uint8_t>(i >> 7) : static_cast<uint8_t>(x);
    }
    std::fill(card.begin(), card.begin() + 512, 0);
    const uint32_t entries[3][2] = {
        {8, 24}, {kRootStart, kRootCount}, {kRootStart + kRootCount, 16}};
    for (int e = 0; e < 3; ++e) {
        uint8_t* p = &card[446 + 16 * e];
        p[4] = e == 0 ? 0x0c : 0x83;
        for (int b = 0; b < 4; ++b) {
            p[8 + b] = static_cast<uint8_t>(entries[e][0] >> (8 * b));
            p[12 + b] = static_cast<uint8_t>(entries[e][1] >> (8 * b));
        }
    }
    card[510] = 0x55;
    card[511] = 0xAA;
    return card;
}

bool reseal(Bytes& file) {
    if (file.size() < UpdateFile::kFixedHeaderSize) {
        return false;
    }
    const size_t hashNum = file[8] | (file[9] << 8);
    const size_t headerSize = UpdateFile::kFixedHeaderSize + UpdateFile::kHashEntrySize * hashNum;
    if (file.size() < headerSize) {
        return false;
    }
    UpdateFile::encode(file.data(), headerSize);  // decodes
    file[16] = file[8];
    file[17] = file[9];
    SHA256(file.data() + headerSize, file.size() - headerSize, &file[40]);
    static const UpdateFile crc;
    const uint32_t sum = crc.calcCrc(file.data() + 16, headerSize - 16);
    for (int i = 0; i < 4; ++i) {
        file[12 + i] = static_cast<uint8_t>(sum >> (8 * i));
    }
    UpdateFile::encode(file.data(), headerSize);
    return true;
}

}  // namespace fuzz

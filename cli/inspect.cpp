// qlupdate inspect: an update file's header and checks, or a card image's
// partition table and verdict.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "common/common.h"
#include "common/fileio.h"
#include "stages/hash.h"
#include "stages/updatefile.h"
#include "storage/imageinfo.h"

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

int inspectUpdateFile(const std::string& path) {
    auto file = std::make_unique<UpdateFile>();
    uint64_t startOffset = 0, size = 0;
    uint8_t digest[32], aux[32];
    std::printf("update file  %s\n", path.c_str());
    if (!file->loadHeader(path, startOffset, size, digest, aux)) {
        std::printf("header       INVALID: %s\n", file->getFailure().c_str());
        return kExitFailure;
    }
    const int64_t fileSize = getFileSize(path.c_str());
    auto payload = std::make_unique<Hash>();
    const bool hashed = payload->calcHash(path, file->getHeaderSize(), 0);
    const bool digestOk = hashed && std::memcmp(payload->getHashValue(), digest, 32) == 0;
    std::printf("header       %u bytes, %u hash entries, CRC ok\n", file->getHeaderSize(),
                file->getHashNum());
    std::printf("root offset  %llu (sector %llu)\n", static_cast<unsigned long long>(startOffset),
                static_cast<unsigned long long>(startOffset / 512));
    std::printf("root size    %llu (%llu MiB)\n", static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(size >> 20));
    std::printf("payload      %lld bytes\n",
                static_cast<long long>(fileSize - file->getHeaderSize()));
    std::printf("payload hash %s %s\n", hex(digest, 32).c_str(),
                digestOk ? "ok"
                : hashed ? "MISMATCH"
                         : "UNREADABLE");
    if (hashed && !digestOk) {
        std::printf("  computed   %s\n", hex(payload->getHashValue(), 32).c_str());
    }
    std::printf("aux hash     %s\n", hex(aux, 32).c_str());
    return digestOk ? kExitOk : kExitFailure;
}

// What keeps a card image's layout from being a Quillon card's, in words;
// empty when it is one.
std::string layoutVerdict(ImageInfo& card) {
    const uint8_t* sector = card.getMbr().data();
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        return formatText("no MBR signature (bytes 510-511 are %02x %02x, not 55 aa)", sector[510],
                          sector[511]);
    }
    if (sector[446 + 4] == 0xEE) {
        return "GPT disk (its MBR only protects a GUID partition table); a Quillon card has an "
               "MBR";
    }
    std::string why;
    return card.checkLayout(why) ? std::string() : why;
}

int inspectCardImage(const std::string& path) {
    ImageInfo card;
    if (!card.setName(path) || !card.loadMbr()) {
        std::fprintf(stderr, "qlupdate: %s is neither an update file nor a card image\n",
                     path.c_str());
        return kExitFailure;
    }
    const MbrInfo& mbr = card.getMbr();
    std::printf("card image   %s (%llu bytes)\n", path.c_str(),
                static_cast<unsigned long long>(card.getSize()));
    std::printf("entry  boot  type  start sector  end sector  sectors     bytes\n");
    for (int i = 0; i < 4; ++i) {
        const uint8_t* e = mbr.data() + 446 + 16 * i;
        // The exclusive end may be 2^32, past what an entry's fields hold.
        const uint64_t start = mbr.getStartSector(i);
        const uint64_t count = mbr.getSectorCount(i);
        std::printf("%-5d  %02x    %02x    %-12llu  %-10llu  %-10llu  %llu%s\n", i, e[0], e[4],
                    static_cast<unsigned long long>(start),
                    static_cast<unsigned long long>(start + count),
                    static_cast<unsigned long long>(count),
                    static_cast<unsigned long long>(count * 512), i == 1 ? "  (root)" : "");
    }
    const std::string why = layoutVerdict(card);
    if (why.empty()) {
        std::printf("layout       valid: root partition at offset %llu, size %llu\n",
                    static_cast<unsigned long long>(card.getRootOffset()),
                    static_cast<unsigned long long>(card.getRootSize()));
        return kExitOk;
    }
    std::printf("layout       INVALID: %s\n", why.c_str());
    return kExitFailure;
}

}  // namespace

int runInspect(const std::string& path) {
    // A FIFO would hold the first read forever; a block device is a card.
    const fileio::FileKind kind = fileio::kindOf(path.c_str());
    if (kind == fileio::FileKind::Missing) {
        std::fprintf(stderr, "qlupdate: %s does not exist\n", path.c_str());
        return kExitFailure;
    }
    if (kind != fileio::FileKind::Regular && kind != fileio::FileKind::BlockDevice) {
        std::fprintf(stderr, "qlupdate: %s is %s, neither an update file nor a card image\n",
                     path.c_str(), fileio::kindText(kind));
        return kExitFailure;
    }
    uint8_t magic[6] = {0};
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "qlupdate: cannot open %s: %s\n", path.c_str(),
                     fileio::lastErrorText().c_str());
        return kExitFailure;
    }
    const size_t got = std::fread(magic, 1, sizeof magic, f);
    std::fclose(f);
    if (got == sizeof magic && std::memcmp(magic, "QLUPD", 6) == 0) {
        return inspectUpdateFile(path);
    }
    return inspectCardImage(path);
}

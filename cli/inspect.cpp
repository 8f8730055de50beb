// qlupdate inspect: an update file's header and checks, or a card image's
// partition table and verdict. "sound" and "valid" mean what apply accepts,
// judged by the checks apply makes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/progress.h"
#include "common/common.h"
#include "common/fileio.h"
#include "common/resultcode.h"
#include "stages/compress.h"
#include "stages/updatefile.h"
#include "storage/imageinfo.h"

namespace {

const char* const kModule = "inspect";

// What keeps the payload from inflating to the root the header promises;
// empty when it does.
std::string payloadVerdict(const Compress& stage, bool inflated, uint64_t size) {
    if (!inflated) {
        switch (stage.getFailure()) {
            case InflateFailure::DataError:
                return "not zlib data the header's root can come from: " + stage.getFailureText();
            case InflateFailure::PastLimit:
                return formatText("it inflates past the %I64u bytes the header gives",
                                  static_cast<unsigned long long>(size));
            case InflateFailure::EndedEarly:
                return "it ends before its zlib stream does";
            default:
                return "it cannot be inflated: " + stage.getFailureText();
        }
    }
    if (stage.getBytesOut() != size) {
        return formatText("it inflates to %I64u bytes; the header says %I64u",
                          static_cast<unsigned long long>(stage.getBytesOut()),
                          static_cast<unsigned long long>(size));
    }
    return std::string();
}

int inspectUpdateFile(FilePtr file, const std::string& path) {
    auto header = std::make_unique<UpdateFile>();
    uint64_t startOffset = 0, size = 0;
    uint8_t digest[32], aux[32];
    std::printf("update file  %s\n", path.c_str());
    if (!header->loadHeader(file.get(), path, startOffset, size, digest, aux)) {
        std::printf("header       INVALID: %s\n", header->getFailure().c_str());
        return resultForError(kExitFailure, header->getFailureError());
    }
    const int64_t fileSize = fileops::size(file.get());
    const uint64_t payload = fileSize > header->getHeaderSize()
                                 ? static_cast<uint64_t>(fileSize) - header->getHeaderSize()
                                 : 0;
    std::printf("header       %u bytes, %u hash entries, CRC ok\n", header->getHeaderSize(),
                header->getHashNum());
    std::printf(startOffset % 512 == 0 ? "root offset  %llu (sector %llu)\n"
                                       : "root offset  %llu (not on a 512-byte sector)\n",
                static_cast<unsigned long long>(startOffset),
                static_cast<unsigned long long>(startOffset / 512));
    std::printf("root size    %llu (%s)\n", static_cast<unsigned long long>(size),
                formatBytes(size).c_str());
    std::printf("payload      %llu bytes\n", static_cast<unsigned long long>(payload));
    std::string damage;
    if (!UpdateFile::checkRoot(startOffset, size, damage)) {
        std::printf("root         INVALID: %s\n", damage.c_str());
        return kExitFailure;
    }
    // The payload is inflated, as apply unpacks it, into nothing: its digest
    // is taken on the way, and it must come to exactly the header's size.
    FilePtr sink(fileio::openNullOutput());
    auto stage = std::make_unique<Compress>();
    uint8_t computed[32] = {};
    bool inflated = false;
    if (sink) {
        ProgressLine line;
        runPolling(
            [&] {
                inflated = stage->decompress(std::move(file), sink.get(), header->getHeaderSize(),
                                             size, computed);
            },
            [&] { line.show("checking the payload", stage->getBytesOut(), size); });
    }
    const bool digestOk = sink && std::memcmp(computed, digest, sizeof digest) == 0;
    std::printf("payload hash %s %s\n", hexDigest(digest).c_str(), digestOk ? "ok" : "MISMATCH");
    if (sink && !digestOk) {
        std::printf("  computed   %s\n", hexDigest(computed).c_str());
    }
    std::printf("aux hash     %s\n", hexDigest(aux).c_str());
    if (!sink || stage->getFailure() == InflateFailure::ReadFailed ||
        stage->getFailure() == InflateFailure::CannotStart) {
        const int error = sink ? stage->getFailureError() : errno;
        std::printf("payload data UNREADABLE: %s\n",
                    sink ? stage->getFailureText().c_str() : fileio::lastErrorText().c_str());
        return resultForError(kExitFailure, error);
    }
    const std::string verdict =
        payload == 0 ? std::string("there is none") : payloadVerdict(*stage, inflated, size);
    if (!verdict.empty()) {
        std::printf("payload data INVALID: %s\n", verdict.c_str());
        return kExitFailure;
    }
    std::printf("payload data inflates to the root's %llu bytes\n",
                static_cast<unsigned long long>(size));
    if (!digestOk) {
        return kExitFailure;
    }
    std::printf("verdict      sound\n");
    return kExitOk;
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

int inspectCardImage(FILE* file, const std::string& path) {
    MbrInfo mbr;
    const int64_t size = fileops::size(file);
    if (size <= 0 || !fileops::seek(file, 0) ||
        fileops::read(mbr.data(), mbr.size(), 1, file) != 1) {
        std::fprintf(stderr, "qlupdate: %s is neither an update file nor a card image%s\n",
                     path.c_str(), size == 0 ? " (it is empty)" : "");
        return kExitFailure;
    }
    ImageInfo card;
    card.useMbr(mbr, size, path);
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
    // One stream for everything read, so that what is judged is one file.
    FilePtr file(fileops::open(path.c_str(), "rb", kModule));
    if (!file) {
        const int error = errno;
        std::fprintf(stderr, "qlupdate: cannot open %s: %s\n", path.c_str(),
                     fileio::lastErrorText().c_str());
        return resultForError(kExitFailure, error);
    }
    uint8_t magic[6] = {0};
    const size_t got = fileops::read(magic, 1, sizeof magic, file.get());
    if (got == sizeof magic && std::memcmp(magic, "QLUPD", 6) == 0) {
        return inspectUpdateFile(std::move(file), path);
    }
    return inspectCardImage(file.get(), path);
}

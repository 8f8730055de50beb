// qlupdate make: the root partition of a card image into a new update file.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/interrupt.h"
#include "cli/outputfile.h"
#include "cli/progress.h"
#include "common/common.h"
#include "common/fileio.h"
#include "stages/updatefilemaker.h"
#include "storage/imageinfo.h"

namespace {

// Files that make creates beside its output, each under a new name of its
// own. Whatever is still listed at the end is removed; a name that existed
// before is never listed, so never removed.
class MadeFiles {
public:
    explicit MadeFiles(const std::string& output) : output(output) {}
    ~MadeFiles() {
        for (const std::string& path : paths) {
            std::remove(path.c_str());
        }
    }
    MadeFiles(const MadeFiles&) = delete;
    MadeFiles& operator=(const MadeFiles&) = delete;

    // "<output>.<process>-<n><suffix>", created new; empty when no name
    // beside the output can be created.
    std::string create(const char* suffix) {
        const std::string stem = output + "." + std::to_string(::getpid()) + "-";
        for (int n = 0; n < 100; ++n) {
            const std::string path = stem + std::to_string(n) + suffix;
            if (outputfile::createNew(path)) {
                paths.push_back(path);
                return path;
            }
            if (outputfile::kindOf(path) == outputfile::Kind::Missing) {
                break;  // the name was free: the folder takes no new file
            }
        }
        return std::string();
    }
    // path has been renamed to a name that is not ours to remove.
    void release(const std::string& path) {
        paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
    }

private:
    std::string output;
    std::vector<std::string> paths;
};

void showMaking(ProgressLine& line, const UpdateFileMaker& maker, uint64_t rootSize,
                const std::string& payload, uint64_t payloadSize) {
    switch (maker.getPhase()) {
        case UpdateFileMaker::Phase::ReadingCard:
            line.show("reading the card", maker.getCardBytesRead(), rootSize);
            break;
        case UpdateFileMaker::Phase::Compressing: {
            // The compression counts nothing; the payload's growth is all there is.
            const int64_t packed = getFileSize(payload.c_str());
            line.showCount("compressing", packed > 0 ? static_cast<uint64_t>(packed) : 0);
            break;
        }
        case UpdateFileMaker::Phase::HashingPayload:
            line.show("hashing the payload", maker.getPayloadBytesHashed(), payloadSize);
            break;
        case UpdateFileMaker::Phase::Writing:
            line.show("writing the file");
            break;
        case UpdateFileMaker::Phase::Idle:
            break;
    }
}

// Writes the update file under a new name beside updateFile and renames it
// into place only when it is whole and on the disk.
int pack(ImageInfo& card, const std::string& cardImage, const std::string& updateFile) {
    const uint64_t rootOffset = card.getRootOffset();
    const uint64_t rootSize = card.getRootSize();
    MadeFiles made(updateFile);
    const std::string payload = made.create(".payload");
    const std::string partial = payload.empty() ? std::string() : made.create(".part");
    if (partial.empty()) {
        std::fprintf(stderr, "qlupdate: cannot create a new file beside %s\n", updateFile.c_str());
        return kExitFailure;
    }

    std::fprintf(stderr, "packing the root partition (%llu bytes at offset %llu)\n",
                 static_cast<unsigned long long>(rootSize),
                 static_cast<unsigned long long>(rootOffset));
    UpdateFileMaker maker;
    ProgressLine line;
    bool packed = false;
    const auto poll = [&](uint64_t payloadSize) {
        return [&, payloadSize] {
            if (interrupt::requested()) {
                maker.requestSuspend();
            }
            showMaking(line, maker, rootSize, payload, payloadSize);
        };
    };
    runPolling([&] { packed = maker.pack(cardImage, rootOffset, rootSize, payload); }, poll(0));
    line.finish();
    bool written = false;
    if (packed) {
        const int64_t payloadSize = getFileSize(payload.c_str());
        runPolling(
            [&] {
                written = maker.seal(payload, rootOffset, rootSize, partial) &&
                          outputfile::syncToDisk(partial);
            },
            poll(payloadSize > 0 ? static_cast<uint64_t>(payloadSize) : 0));
        line.finish();
    }
    // After a stop the steps end early; runMake says why.
    if (maker.wasSuspended() || interrupt::requested()) {
        return kExitInterrupted;
    }
    if (!written) {
        std::fprintf(stderr, "qlupdate: %s\n",
                     maker.getFailure().empty() ? ("writing " + updateFile + " failed").c_str()
                                                : maker.getFailure().c_str());
        return kExitFailure;
    }
    if (!outputfile::replace(partial, updateFile)) {
        std::fprintf(stderr, "qlupdate: cannot rename %s to %s\n", partial.c_str(),
                     updateFile.c_str());
        return kExitFailure;
    }
    made.release(partial);
    std::fprintf(stderr, "made %s: root offset %llu, size %llu, payload %lld bytes\n",
                 updateFile.c_str(), static_cast<unsigned long long>(rootOffset),
                 static_cast<unsigned long long>(rootSize),
                 static_cast<long long>(getFileSize(updateFile.c_str()) - maker.getHeaderSize()));
    return kExitOk;
}

}  // namespace

int runMake(const std::string& cardImage, const std::string& updateFile) {
    // Both checks come before anything is written: a card image given as its
    // own output would be emptied while it is being read, and a device or
    // folder is not a file to replace.
    if (outputfile::sameFile(cardImage, updateFile)) {
        std::fprintf(stderr,
                     "qlupdate: %s is the card image %s itself; the update file needs a name of "
                     "its own\n",
                     updateFile.c_str(), cardImage.c_str());
        return kExitUsage;
    }
    if (outputfile::kindOf(updateFile) == outputfile::Kind::Other) {
        std::fprintf(stderr,
                     "qlupdate: %s is not a regular file; make writes a new file or replaces a "
                     "regular one\n",
                     updateFile.c_str());
        return kExitUsage;
    }
    // A FIFO or a terminal would hold the first read forever.
    const fileio::FileKind kind = fileio::kindOf(cardImage.c_str());
    if (kind != fileio::FileKind::Regular && kind != fileio::FileKind::BlockDevice &&
        kind != fileio::FileKind::Missing) {
        std::fprintf(stderr, "qlupdate: %s is %s, not a card image\n", cardImage.c_str(),
                     fileio::kindText(kind));
        return kExitFailure;
    }
    ImageInfo card;
    if (!card.setName(cardImage) || !card.loadMbr()) {
        std::fprintf(stderr, "qlupdate: cannot read the card image %s\n", cardImage.c_str());
        return kExitFailure;
    }
    std::string why;
    if (!card.checkLayout(why)) {
        std::fprintf(stderr, "qlupdate: %s is not a Quillon card image: %s\n", cardImage.c_str(),
                     why.c_str());
        return kExitFailure;
    }

    interrupt::watch();
    const int status = pack(card, cardImage, updateFile);
    interrupt::unwatch();
    if (status == kExitInterrupted) {
        std::fprintf(stderr, "qlupdate: interrupted; %s was not written\n", updateFile.c_str());
    }
    return status;
}

// qlupdate make: the root partition of a card image into a new update file.
#include <cerrno>
#include <cstdio>
#include <string>

#include "cli/carddevice.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "cli/outputfile.h"
#include "cli/progress.h"
#include "common/common.h"
#include "common/fileio.h"
#include "common/resultcode.h"
#include "stages/updatefilemaker.h"
#include "storage/imageinfo.h"

namespace {

const char* const kModule = "make";

void showMaking(ProgressLine& line, const UpdateFileMaker& maker, uint64_t rootSize) {
    switch (maker.getPhase()) {
        case UpdateFileMaker::Phase::Compressing:
            line.show("compressing", maker.getCardBytesRead(), rootSize,
                      ", payload " + formatBytes(maker.getPayloadBytesWritten()));
            break;
        case UpdateFileMaker::Phase::Writing:
            line.show("writing the file");
            break;
        default:
            break;
    }
}

// The status for a failure: ResultNoResources when the system ran out of
// something, else make's own failure.
int failure(int error, const std::string& why) {
    std::fprintf(stderr, "qlupdate: %s\n", why.c_str());
    return resultForError(kExitFailure, error);
}

// Writes the update file as a new file beside updateFile and puts it in
// place only when it is whole and on the disk. The root is read once, from
// the stream its partition table came from.
int pack(FILE* cardStream, const std::string& cardImage, ImageInfo& card,
         const std::string& updateFile) {
    const uint64_t rootOffset = card.getRootOffset();
    const uint64_t rootSize = card.getRootSize();
    outputfile::removeLeftovers(updateFile);
    outputfile::NewFile output;
    if (!output.create(updateFile)) {
        return failure(output.error(), output.failure());
    }
    // A card image that changes while it is read gives a root of neither
    // the old nor the new content, whatever the digests say.
    uint64_t before = 0, after = 0;
    const bool regular = fileio::kindOf(cardImage.c_str()) == fileio::FileKind::Regular;
    const bool stamped = regular && fileio::changeTime(cardStream, before);

    std::fprintf(stderr, "packing the root partition (%llu bytes at offset %llu)\n",
                 static_cast<unsigned long long>(rootSize),
                 static_cast<unsigned long long>(rootOffset));
    UpdateFileMaker maker;
    ProgressLine line;
    bool made = false;
    runPolling(
        [&] {
            made = maker.make(cardStream, cardImage, rootOffset, rootSize, output.stream(),
                              updateFile);
        },
        [&] {
            if (interrupt::requested()) {
                maker.requestSuspend();
            }
            showMaking(line, maker, rootSize);
        });
    line.finish();
    // After a stop the steps end early; runMake says why.
    if (maker.wasSuspended() || interrupt::requested()) {
        return kExitInterrupted;
    }
    if (!made) {
        return failure(maker.getFailureError(), maker.getFailure());
    }
    if (stamped && (!fileio::changeTime(cardStream, after) || after != before)) {
        debugLog("%s : %s changed while it was read\n", kModule, cardImage.c_str());
        return failure(0, cardImage +
                              " changed while it was read (another program wrote to it), so "
                              "the update would hold neither its old nor its new root; make it "
                              "again from an image that nothing writes to");
    }
    if (!output.publish()) {
        return failure(output.error(), output.failure());
    }
    std::fprintf(stderr, "made %s: root offset %llu, size %llu, payload %llu bytes\n",
                 updateFile.c_str(), static_cast<unsigned long long>(rootOffset),
                 static_cast<unsigned long long>(rootSize),
                 static_cast<unsigned long long>(maker.getPayloadBytesWritten()));
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
    if (kind == fileio::FileKind::Missing) {
        std::fprintf(stderr, "qlupdate: the card image %s does not exist\n", cardImage.c_str());
        return kExitFailure;
    }
    if (kind != fileio::FileKind::Regular && kind != fileio::FileKind::BlockDevice) {
        std::fprintf(stderr, "qlupdate: %s is %s, not a card image\n", cardImage.c_str(),
                     fileio::kindText(kind));
        return kExitFailure;
    }
    FilePtr stream(fileops::open(cardImage.c_str(), "rb", kModule));
    if (!stream) {
        const int error = errno;
        return failure(error,
                       "cannot open the card image " + cardImage + ": " + fileio::lastErrorText());
    }
    MbrInfo sector;
    const int64_t size = fileops::size(stream.get());
    if (size <= 0 || fileops::read(sector.data(), sector.size(), 1, stream.get()) != 1) {
        const int error = errno;
        const bool ended = size >= 0 && std::feof(stream.get()) != 0;
        return failure(
            ended ? 0 : error,
            size == 0 ? "the card image " + cardImage + " is empty"
            : ended   ? "the card image " + cardImage + " is shorter than its MBR"
                      : "cannot read the card image " + cardImage + ": " + fileio::lastErrorText());
    }
    ImageInfo card;
    card.useMbr(sector, size, cardImage);
    std::string why;
    if (!card.checkLayout(why)) {
        std::fprintf(stderr, "qlupdate: %s is not a Quillon card image: %s\n", cardImage.c_str(),
                     why.c_str());
        return kExitFailure;
    }
    const int refused = checkCardImage(cardImage, card.getRootOffset(), card.getRootSize());
    if (refused != kExitOk) {
        return refused;
    }

    interrupt::watch();
    const int status = pack(stream.get(), cardImage, card, updateFile);
    interrupt::unwatch();
    if (status == kExitInterrupted) {
        std::fprintf(stderr, "qlupdate: interrupted; %s was not written\n", updateFile.c_str());
    }
    return status;
}

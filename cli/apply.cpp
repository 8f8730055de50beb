// qlupdate apply: one update file onto an image file, a drive or a device.
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/carddevice.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "cli/terminaltext.h"
#include "common/common.h"
#include "common/fileio.h"
#include "stages/updatefile.h"
#include "storage/deviceinfo.h"
#include "update/applyupdatefile.h"
#include "update/messages.h"

namespace {

// Shows the job's progress word in words. Only the copy and the read-back
// move through the root partition in steps; the phases before them expose
// no count and get a spinner.
void showJobProgress(ProgressLine& line, const ApplyUpdateFile& job, int progress,
                     uint64_t rootSize, uint64_t payloadSize) {
    constexpr int kWriteStart = ApplyUpdateFile::kCopyStart;
    // The copy's last step is held until the data is synced.
    constexpr int kSyncing = ApplyUpdateFile::kCopyEnd;
    if (progress < 5) {
        line.show("checking");
    } else if (progress < 10) {
        line.show("verifying the file", job.getHashedBytes(), payloadSize);
    } else if (progress < kWriteStart) {
        line.show("unpacking", job.getUnpackedBytes(), rootSize);
    } else if (progress == kWriteStart) {
        line.show("checking the card");
    } else if (progress < kSyncing) {
        // Pieces already on the card count as done: they were read, not written.
        const uint64_t kept = job.getBytesKept();
        line.show("writing", job.getBytesWritten() + kept, rootSize,
                  kept > 0 ? ", " + formatBytes(kept) + " already on the card" : std::string());
    } else if (progress == kSyncing) {
        line.show("syncing");
    } else if (progress < 100) {
        // Only what was written is read back: the rest was read when judged.
        line.show("verifying the card", job.getBytesReadBack(), job.getBytesWritten());
    } else {
        line.show("done", rootSize, rootSize);
    }
}

// What a stop left on the card, in words that are true for the phase it
// came in.
const char* stoppedMessage(ApplyUpdateFile::Written written) {
    switch (written) {
        case ApplyUpdateFile::Written::Nothing:
            return "the update was stopped before anything was written; the card is unchanged";
        case ApplyUpdateFile::Written::Partly:
            return "the update was stopped while writing; the root partition is incomplete: "
                   "update the card again, which writes only what is not yet on it";
        case ApplyUpdateFile::Written::All:
            break;
    }
    return "the update was stopped while the card was read back: the root partition was written "
           "in full but not verified; update the card again to check it";
}

// The root and payload sizes, for the speed; zeros when the header is
// unreadable, which the job then reports. Only a regular file is opened: a
// FIFO would hold the open forever.
void peekSizes(const std::string& path, uint64_t& rootSize, uint64_t& payloadSize) {
    if (fileio::kindOf(path.c_str()) != fileio::FileKind::Regular) {
        return;
    }
    auto header = std::make_unique<UpdateFile>();
    uint64_t startOffset = 0;
    uint8_t digest[32], aux[32];
    setDebugLog(false);
    if (header->loadHeader(path, startOffset, rootSize, digest, aux)) {
        const int64_t fileSize = getFileSize(path.c_str());
        if (fileSize > header->getHeaderSize()) {
            payloadSize = static_cast<uint64_t>(fileSize) - header->getHeaderSize();
        }
    }
}

// The target image must be a file the job can read and write in place.
int checkTargetImage(const std::string& path) {
    const fileio::FileKind kind = fileio::kindOf(path.c_str());
    if (kind == fileio::FileKind::Regular) {
        return kExitOk;
    }
    if (kind == fileio::FileKind::Missing) {
        std::fprintf(stderr, "qlupdate: %s: the target image does not exist; nothing was written\n",
                     path.c_str());
        return kExitUsage;
    }
    std::fprintf(stderr, "qlupdate: %s is %s, not a card image file%s; nothing was written\n",
                 path.c_str(), fileio::kindText(kind),
                 kind == fileio::FileKind::BlockDevice ? " (a card is given with --device)" : "");
    return kExitUsage;
}

int checkDrive(const std::string& drive) {
    // Only a drive the window would offer: never the system's own disk.
    if (!DriveList().offers(drive)) {
        std::fprintf(stderr, "qlupdate: %c: is not a card reader's drive (see qlupdate drives)\n",
                     std::toupper(static_cast<unsigned char>(drive[0])));
        return kExitUsage;
    }
    return kExitOk;
}

}  // namespace

int runApply(const ApplyOptions& options) {
    // The job would call a missing file a broken one.
    if (fileio::kindOf(options.updateFile.c_str()) == fileio::FileKind::Missing) {
        std::fprintf(stderr, "qlupdate: %s: the update file does not exist\n",
                     options.updateFile.c_str());
        return ResultBrokenUpdateFile;
    }
    uint64_t rootSize = 0, payloadSize = 0;
    peekSizes(options.updateFile, rootSize, payloadSize);
    setDebugLog(options.verbose);

    int refused = kExitOk;
    if (!options.drive.empty()) {
        refused = checkDrive(options.drive);
    } else if (!options.device.empty()) {
        refused = prepareDevice(options);
    } else {
        refused = checkTargetImage(options.targetImage);
        if (refused == kExitOk) {
            refused = prepareImage(options);
        }
    }
    if (refused != kExitOk) {
        return refused;
    }
    // A drive letter, or on Linux the chosen device: named and opened once,
    // and the job works on that very disk.
    const std::string& driveName = options.device.empty() ? options.drive : options.device;
    std::unique_ptr<Target> target = makeTarget(options.targetImage, driveName);
    if (!driveName.empty() && !target->isReady()) {
        std::fprintf(stderr, "%s\n%s\n",
                     terminaltext::choose("指定されたドライブにアクセスできませんでした。",
                                          "The chosen drive could not be accessed.")
                         .c_str(),
                     target->notReadyReason().c_str());
        return kExitUsage;  // refused before anything happened
    }
    auto job = std::make_unique<ApplyUpdateFile>(options.updateFile, std::move(target));
    job->setVerify(options.verify);
    interrupt::watch();
    keepAwake(true);
    job->create();

    ProgressLine line;
    int result = 0;
    bool stopped = false;
    for (;;) {
        const int progress = job->getProgress();
        result = job->getResult();
        showJobProgress(line, *job, progress, rootSize, payloadSize);
        if (result != 0 || (progress >= 100 && job->isSuccess())) {
            break;
        }
        if (interrupt::requested()) {
            // As the dialog's abort: pause, then stop and wait for the worker.
            job->setPause(true);
            line.finish();
            std::fprintf(stderr, "stopping the update...\n");
            stopped = true;
            break;
        }
        // Polling costs two word reads; a short period keeps the end prompt.
        sleepMs(50);
    }
    std::string reason;
    if (result != 0) {
        job->join();
        reason = job->getReason();
    }
    job->requestStop();
    job->join();
    const ApplyUpdateFile::Written written = job->getWritten();
    const uint64_t kept = job->getBytesKept();
    job.reset();
    keepAwake(false);
    interrupt::unwatch();
    line.finish();
    reportUnmounted();
    if (stopped) {
        std::fprintf(stderr, "%s\n", stoppedMessage(written));
        return kExitInterrupted;
    }
    if (result != 0) {
        printResult(result, reason);
        return result;
    }
    if (kept > 0) {
        std::fprintf(stderr, "wrote %s of %s; %s were already on the card\n",
                     formatBytes(rootSize - kept).c_str(), formatBytes(rootSize).c_str(),
                     formatBytes(kept).c_str());
    }
    std::fprintf(stderr, "%s\n",
                 terminaltext::choose(completionMessage(), completionMessageEnglish()).c_str());
    return kExitOk;
}

#include "cli/commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/carddevice.h"
#include "cli/outputfile.h"
#include "cli/progress.h"
#include "common/common.h"
#include "stages/compress.h"
#include "stages/hash.h"
#include "stages/updatefile.h"
#include "storage/deviceinfo.h"
#include "storage/imageinfo.h"
#include "update/applyupdatefile.h"
#include "update/messages.h"

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// Runs fn with the diagnostic log switched on, so that a failing check can
// show its own line to the user, then restores the switch.
template <typename Fn>
void withLog(bool verbose, Fn fn) {
    setDebugLog(true);
    fn();
    setDebugLog(verbose);
}

// Shows the job's progress word in words. Only the copy and the read-back
// move through the root partition in steps; the phases before them expose
// no count and get a spinner.
void showJobProgress(ProgressLine& line, const ApplyUpdateFile& job, int progress,
                     uint64_t rootSize, uint64_t payloadSize) {
    constexpr int kWriteStart = ApplyUpdateFile::kCopyStart;
    // The copy's last step is held until the data is synced.
    constexpr int kSyncing = ApplyUpdateFile::kCopyEnd;
    const auto part = [rootSize](int step, int steps) {
        return static_cast<uint64_t>(static_cast<double>(rootSize) * step / steps);
    };
    if (progress < 5) {
        line.show("checking");
    } else if (progress < 10) {
        line.show("verifying the file", job.getHashedBytes(), payloadSize);
    } else if (progress < kWriteStart) {
        line.show("unpacking", job.getUnpackedBytes(), rootSize);
    } else if (progress == kWriteStart) {
        line.show("checking the card");
    } else if (progress < kSyncing) {
        line.show("writing", part(progress - kWriteStart, kSyncing - kWriteStart), rootSize);
    } else if (progress == kSyncing) {
        line.show("syncing");
    } else if (progress < 100) {
        line.show("verifying the card", part(progress - kSyncing - 1, 99 - kSyncing - 1), rootSize);
    } else {
        line.show("done", rootSize, rootSize);
    }
}

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

// The stages of make, which a Ctrl+C asks to suspend.
struct MakeStages {
    Hash rootHash;
    Compress compressor;
    Hash payloadHash;
};

// While alive, turns a Ctrl+C into suspend requests to the stages, so that
// make can end at the next chunk and remove what it made.
class InterruptWatch {
public:
    explicit InterruptWatch(MakeStages& stages)
        : watcher([this, &stages] {
              while (!finished.load()) {
                  if (interrupted.load()) {
                      stages.rootHash.requestSuspend();
                      stages.compressor.requestSuspend();
                      stages.payloadHash.requestSuspend();
                      return;
                  }
                  sleepMs(50);
              }
          }) {}
    ~InterruptWatch() {
        finished.store(true);
        watcher.join();
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    std::atomic<bool> finished{false};
    std::thread watcher;
};

// Writes the update file under a new name beside updateFile and renames it
// into place only when it is whole and on the disk.
int pack(ImageInfo& card, const std::string& cardImage, const std::string& updateFile,
         MakeStages& stages) {
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
    ProgressLine line;
    // The root digest and the compression read the card independently. The
    // digest counts what it has read; the compression counts nothing, and
    // once the faster digest is done, the payload's growth is all there is.
    bool rootHashed = false, packed = false;
    std::thread hasher(
        [&] { rootHashed = stages.rootHash.calcHash(cardImage, rootOffset, rootSize); });
    runPolling(
        [&] { packed = stages.compressor.compress(cardImage, rootOffset, rootSize, payload); },
        [&] {
            const uint32_t percent = stages.rootHash.getProgress();
            if (percent < 100) {
                line.show("reading the card", rootSize * percent / 100, rootSize);
            } else {
                const int64_t packed = getFileSize(payload.c_str());
                line.showCount("compressing", packed > 0 ? static_cast<uint64_t>(packed) : 0);
            }
        });
    hasher.join();
    line.finish();
    // After a Ctrl+C the stages stop early; runMake says why.
    if (interrupted.load()) {
        return kExitInterrupted;
    }
    if (!packed || !rootHashed) {
        std::fprintf(stderr, "qlupdate: packing %s failed\n", cardImage.c_str());
        return kExitFailure;
    }
    bool payloadHashed = false;
    const int64_t payloadSize = getFileSize(payload.c_str());
    const uint64_t payloadBytes = payloadSize > 0 ? static_cast<uint64_t>(payloadSize) : 0;
    runPolling([&] { payloadHashed = stages.payloadHash.calcHash(payload, 0, 0); },
               [&] {
                   line.show("hashing the payload",
                             payloadBytes * stages.payloadHash.getProgress() / 100, payloadBytes);
               });
    line.finish();
    if (interrupted.load()) {
        return kExitInterrupted;
    }
    if (!payloadHashed) {
        std::fprintf(stderr, "qlupdate: hashing the payload failed\n");
        return kExitFailure;
    }
    auto writer = std::make_unique<UpdateFile>(0);
    bool written = false;
    runPolling(
        [&] {
            written = writer->setupHeader(rootOffset, rootSize, stages.payloadHash.getHashValue(),
                                          stages.rootHash.getHashValue()) &&
                      writer->appendFile(partial, payload) && outputfile::syncToDisk(partial);
        },
        [&] { line.show("writing the file"); });
    line.finish();
    if (interrupted.load()) {
        return kExitInterrupted;
    }
    if (!written) {
        std::fprintf(stderr, "qlupdate: writing %s failed\n", updateFile.c_str());
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
                 static_cast<long long>(getFileSize(updateFile.c_str()) - writer->getHeaderSize()));
    return kExitOk;
}

}  // namespace

int runMake(const std::string& cardImage, const std::string& updateFile, bool verbose) {
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
    ImageInfo card;
    if (!card.setName(cardImage) || !card.loadMbr()) {
        std::fprintf(stderr, "qlupdate: cannot read the card image %s\n", cardImage.c_str());
        return kExitFailure;
    }
    if (!card.isValid()) {
        withLog(verbose, [&] { card.isValid(); });
        std::fprintf(stderr,
                     "qlupdate: %s is not a Quillon card image: its partition table fails the "
                     "layout rule (see the line above)\n",
                     cardImage.c_str());
        return kExitFailure;
    }

    MakeStages stages;
    interrupted.store(false);
    std::signal(SIGINT, onInterrupt);
    int status = kExitFailure;
    {
        InterruptWatch watch(stages);
        status = pack(card, cardImage, updateFile, stages);
    }
    std::signal(SIGINT, SIG_DFL);
    if (interrupted.load()) {
        std::fprintf(stderr, "qlupdate: interrupted; %s was not written\n", updateFile.c_str());
        return kExitInterrupted;
    }
    return status;
}

int runApply(const ApplyOptions& options) {
    // The job would call a missing file a broken one.
    if (FILE* f = std::fopen(options.updateFile.c_str(), "rb")) {
        std::fclose(f);
    } else if (errno == ENOENT) {
        std::fprintf(stderr, "qlupdate: %s: the update file does not exist\n",
                     options.updateFile.c_str());
        return ResultBrokenUpdateFile;
    }
    // The header is read once up front only to know the size for the speed.
    uint64_t startOffset = 0, rootSize = 0, payloadSize = 0;
    {
        auto header = std::make_unique<UpdateFile>();
        uint8_t digest[32], aux[32];
        setDebugLog(false);
        if (header->loadHeader(options.updateFile, startOffset, rootSize, digest, aux)) {
            const int64_t fileSize = getFileSize(options.updateFile.c_str());
            if (fileSize > header->getHeaderSize()) {
                payloadSize = static_cast<uint64_t>(fileSize) - header->getHeaderSize();
            }
        }
        setDebugLog(options.verbose);
    }

    if (!options.drive.empty()) {
        // Only a drive the window would offer: never the system's own disk.
        DriveList drives;
        const char* letters = drives.getRemovableDrives();
        const char letter =
            static_cast<char>(std::toupper(static_cast<unsigned char>(options.drive[0])));
        if (letter == '\0' || std::strchr(letters, letter) == nullptr) {
            std::fprintf(stderr,
                         "qlupdate: %c: is not a card reader's drive (see qlupdate drives)\n",
                         letter);
            return kExitUsage;
        }
    }
    if (!options.device.empty() || options.drive.empty()) {
        const int refused = options.device.empty() ? prepareImage(options) : prepareDevice(options);
        if (refused != kExitOk) {
            return refused;
        }
    }
    // A drive letter, or on Linux the chosen device: named and opened once,
    // and the job works on that very disk.
    const std::string& driveName = options.device.empty() ? options.drive : options.device;
    std::unique_ptr<Target> target = makeTarget(options.targetImage, driveName);
    if (!driveName.empty() && !target->isReady()) {
        std::fprintf(stderr, "%s\n%s\n", "指定されたドライブにアクセスできませんでした。",
                     target->notReadyReason().c_str());
        return kExitUsage;
    }
    auto job = std::make_unique<ApplyUpdateFile>(options.updateFile, std::move(target));
    job->setVerify(options.verify);
    interrupted.store(false);
    std::signal(SIGINT, onInterrupt);
    keepAwake(true);
    job->create();

    ProgressLine line;
    int progress = 0;
    int result = 0;
    bool stopped = false;
    for (;;) {
        progress = job->getProgress();
        result = job->getResult();
        showJobProgress(line, *job, progress, rootSize, payloadSize);
        if (result != 0 || (progress >= 100 && job->isSuccess())) {
            break;
        }
        if (interrupted.load()) {
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
    job.reset();  // requests a stop if still running and joins the worker
    keepAwake(false);
    std::signal(SIGINT, SIG_DFL);
    line.finish();
    reportUnmounted();
    if (stopped) {
        std::fprintf(stderr, "the update was stopped; the root partition may be incomplete\n");
        return kExitInterrupted;
    }
    if (result != 0) {
        const char* message = resultMessage(result);
        std::fprintf(stderr, "%s\n", message != nullptr ? message : "");
        if (!reason.empty()) {
            std::fprintf(stderr, "%s\n", reason.c_str());
        }
        return result;
    }
    std::fprintf(stderr, "%s\n", completionMessage());
    return kExitOk;
}

int runInspect(const std::string& path, bool verbose) {
    uint8_t magic[6] = {0};
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        const size_t got = std::fread(magic, 1, sizeof magic, f);
        std::fclose(f);
        (void)got;
    } else {
        std::fprintf(stderr, "qlupdate: cannot open %s\n", path.c_str());
        return kExitFailure;
    }

    if (std::memcmp(magic, "QLUPD", 6) == 0) {
        auto file = std::make_unique<UpdateFile>();
        uint64_t startOffset = 0, size = 0;
        uint8_t digest[32], aux[32];
        if (!file->loadHeader(path, startOffset, size, digest, aux)) {
            std::printf("update file %s\nheader       INVALID\n", path.c_str());
            withLog(verbose, [&] { file->loadHeader(path, startOffset, size, digest, aux); });
            return kExitFailure;
        }
        const int64_t fileSize = getFileSize(path.c_str());
        auto payload = std::make_unique<Hash>();
        const bool hashed = payload->calcHash(path, file->getHeaderSize(), 0);
        const bool digestOk = hashed && std::memcmp(payload->getHashValue(), digest, 32) == 0;
        std::printf("update file  %s\n", path.c_str());
        std::printf("header       %u bytes, %u hash entries, CRC ok\n", file->getHeaderSize(),
                    file->getHashNum());
        std::printf("root offset  %llu (sector %llu)\n",
                    static_cast<unsigned long long>(startOffset),
                    static_cast<unsigned long long>(startOffset / 512));
        std::printf("root size    %llu (%llu MiB)\n", static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(size >> 20));
        std::printf("payload      %lld bytes\n",
                    static_cast<long long>(fileSize - file->getHeaderSize()));
        std::printf("payload hash %s %s\n", hex(digest, 32).c_str(), digestOk ? "ok" : "MISMATCH");
        if (hashed && !digestOk) {
            std::printf("  computed   %s\n", hex(payload->getHashValue(), 32).c_str());
        }
        std::printf("aux hash     %s\n", hex(aux, 32).c_str());
        return digestOk ? kExitOk : kExitFailure;
    }

    ImageInfo card;
    if (!card.setName(path) || !card.loadMbr()) {
        std::fprintf(stderr, "qlupdate: %s is neither an update file nor a card image\n",
                     path.c_str());
        return kExitFailure;
    }
    const MbrInfo& mbr = card.getMbr();
    std::printf("card image %s (%llu bytes)\n", path.c_str(),
                static_cast<unsigned long long>(card.getSize()));
    std::printf("entry  boot  type  start sector  end sector  sectors     bytes\n");
    for (int i = 0; i < 4; ++i) {
        const uint8_t* e = mbr.data() + 446 + 16 * i;
        std::printf("%-5d  %02x    %02x    %-12lu  %-10lu  %-10lu  %llu%s\n", i, e[0], e[4],
                    static_cast<unsigned long>(mbr.getStartSector(i)),
                    static_cast<unsigned long>(mbr.getEndSector(i)),
                    static_cast<unsigned long>(mbr.getSectorCount(i)),
                    static_cast<unsigned long long>(mbr.getSectorCount(i)) * 512,
                    i == 1 ? "  (root)" : "");
    }
    if (card.isValid()) {
        std::printf("layout       valid: root partition at offset %llu, size %llu\n",
                    static_cast<unsigned long long>(card.getRootOffset()),
                    static_cast<unsigned long long>(card.getRootSize()));
        return kExitOk;
    }
    std::printf("layout       INVALID\n");
    withLog(verbose, [&] { card.isValid(); });
    return kExitFailure;
}

int runDrives() {
    return listCards();
}

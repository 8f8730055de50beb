#include "update/rootcopy.h"

// SHA256_Init/Update/Final are deprecated in OpenSSL 3 but still provided.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>
#include <exception>
#include <thread>
#include <utility>

#include "common/fileio.h"
#include "common/resultcode.h"

namespace {

const char* const kModule = "rootcopy";

// OpenSSL 3's one-shot SHA256() goes through EVP_Q_digest, which fetches the
// digest by name on every call and links the provider machinery (with the
// build's own folders in it); the low-level calls do neither.
void pieceDigest(const uint8_t* data, uint32_t length, uint8_t* digest) {
    SHA256_CTX sha;
    SHA256_Init(&sha);
    SHA256_Update(&sha, data, length);
    SHA256_Final(digest, &sha);
}

// Runs one task at a time on a thread of its own, so that the next piece is
// read while this one is written or hashed and the card never waits for
// the computer. Where the system gives no thread, each task runs at once on
// the caller's.
class ReadAhead {
public:
    ReadAhead() {
        try {
            thread = std::thread([this] { serve(); });
        } catch (const std::exception& e) {
            debugLog("%s : no thread to read ahead (%s); reading in turn\n", kModule, e.what());
        }
    }
    ~ReadAhead() {
        if (thread.joinable()) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                done.wait(lock, [this] { return !task; });
                ending = true;
            }
            posted.notify_all();
            thread.join();
        }
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts task; the one before must have been finished.
    void start(std::function<bool()> next) {
        if (!thread.joinable()) {
            result = next();
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        task = std::move(next);
        posted.notify_all();
    }
    // Waits for the task started last; what it returned.
    bool finish() {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [this] { return !task; });
        return result;
    }

private:
    void serve() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            posted.wait(lock, [this] { return task || ending; });
            if (!task) {
                return;
            }
            std::function<bool()> running = task;
            lock.unlock();
            const bool outcome = running();
            lock.lock();
            result = outcome;
            task = nullptr;
            done.notify_all();
        }
    }

    std::thread thread;
    std::mutex mutex;
    std::condition_variable posted, done;
    std::function<bool()> task;
    bool result = true;
    bool ending = false;
};

}  // namespace

RootCopy::RootCopy(Target& target, std::atomic<int>& progress, std::function<bool(int)> carryOn)
    : target(target), progress(progress), carryOn(std::move(carryOn)) {}

void RootCopy::reset() {
    failed = TargetFailure();
    written.store(Written::Nothing);
    bytesWritten.store(0);
    bytesKept.store(0);
    bytesReadBack.store(0);
}

bool RootCopy::fail(int code, const std::string& why) {
    failed.code = code;
    failed.why = why;
    return false;
}

bool RootCopy::begin(uint64_t offset, uint64_t size, bool readBack) {
    rootOffset = offset;
    rootSize = size;
    digests = readBack;
    differing.clear();
    digestOf.clear();
    judged = 0;
    lastLogged = 0;
    waiting.clear();
    spare.clear();
    outputEnded = false;
    cancelled = false;
    nudged = false;
    if (pool.empty()) {
        for (int i = 0; i < kWaiting + 2; ++i) {
            pool.push_back(allocateChunk(kPiece));
        }
        held = allocateChunk(kPiece);
    }
    for (const ChunkBuffer& buffer : pool) {
        if (!buffer) {
            pool.clear();
            break;
        }
        spare.push_back(buffer.get());
    }
    if (pool.empty() || !held) {
        debugLog("%s : copy buffers fail %u\n", kModule, (kWaiting + 3) * kPiece);
        return fail(ResultNoResources, "out of memory for the copy");
    }
    return true;
}

uint8_t* RootCopy::firstBuffer() {
    std::lock_guard<std::mutex> lock(handOver);
    uint8_t* buffer = spare.back();
    spare.pop_back();
    return buffer;
}

uint8_t* RootCopy::take(uint8_t* data, uint32_t length) {
    std::unique_lock<std::mutex> lock(handOver);
    if (cancelled) {
        return data;  // nobody judges any more: the buffer goes round again
    }
    waiting.push_back({data, length});
    changed.notify_all();
    changed.wait(lock, [this] { return !spare.empty(); });
    uint8_t* next = spare.back();
    spare.pop_back();
    return next;
}

void RootCopy::endOfOutput() {
    std::lock_guard<std::mutex> lock(handOver);
    outputEnded = true;
    changed.notify_all();
}

void RootCopy::nudge() {
    std::lock_guard<std::mutex> lock(handOver);
    nudged = true;
    changed.notify_all();
}

void RootCopy::cancel() {
    std::lock_guard<std::mutex> lock(handOver);
    cancelled = true;
    for (const Handed& piece : waiting) {
        spare.push_back(piece.data);
    }
    waiting.clear();
    changed.notify_all();
}

bool RootCopy::judge(const std::function<bool()>& between) {
    for (;;) {
        Handed piece{};
        bool onlyNudged = false;
        {
            std::unique_lock<std::mutex> lock(handOver);
            changed.wait(lock,
                         [this] { return !waiting.empty() || outputEnded || cancelled || nudged; });
            onlyNudged = waiting.empty() && nudged && !outputEnded && !cancelled;
            nudged = false;
            if (onlyNudged) {
                // asked below, without a piece
            } else if (waiting.empty()) {
                return !cancelled;
            } else {
                piece = waiting.front();
                waiting.pop_front();
            }
        }
        if (onlyNudged) {
            if (!between()) {
                cancel();
                return false;
            }
            continue;
        }
        const bool judgedOne = between() && judgePiece(piece.data, piece.length);
        {
            std::lock_guard<std::mutex> lock(handOver);
            spare.push_back(piece.data);
            changed.notify_all();
        }
        if (!judgedOne) {
            cancel();
            return false;
        }
    }
}

uint32_t RootCopy::lengthAt(uint64_t at) const {
    return rootSize - at > kPiece ? kPiece : static_cast<uint32_t>(rootSize - at);
}

// The next piece of the root as unpacked. Every chunk of the unpacking but
// the last is a whole piece; output past the root ends in the size check.
bool RootCopy::judgePiece(const uint8_t* data, uint32_t length) {
    if (judged >= rootSize) {
        return true;
    }
    const uint64_t at = judged;
    length = length < lengthAt(at) ? length : lengthAt(at);
    const int same = holds(data, at, length);
    if (same < 0) {
        return false;
    }
    judged += length;
    if (same == 0) {
        differing.push_back(at);
        if (digests) {
            digestOf.emplace_back();
            pieceDigest(data, length, digestOf.back().data());
        }
    }
    return true;
}

// What a failed target read or write means to the user. A card pulled out
// shows as a device that is gone, and only another full run mends it.
std::string RootCopy::ioReason(const char* what, bool wroteAny, uint64_t at,
                               const rawdevice::Error& error) const {
    if (target.isDevice() && error.fault == rawdevice::Fault::Gone) {
        return formatText(wroteAny ? "the card was removed during the update, at byte %I64u of "
                                     "the root partition; its root partition is incomplete: put "
                                     "it back and update again"
                                   : "the card was removed at byte %I64u of the root partition, "
                                     "before anything was written; put it back and update again",
                          static_cast<unsigned long long>(at));
    }
    return formatText("%s %s failed at byte %I64u of the root partition: %s", what,
                      target.displayName().c_str(), static_cast<unsigned long long>(at),
                      error.text.c_str());
}

// Whether the target's root already holds data at at: 1 when it does, 0
// when not, -1 on a failure. A piece that differs usually differs at its
// start, so its head is read first and the rest only when the head is equal.
int RootCopy::holds(const uint8_t* data, uint64_t at, uint32_t length) {
    uint8_t* const card = held.get();
    const uint32_t head = length > kPieceHead ? kPieceHead : length;
    for (uint32_t from = 0, n = head; from < length; from += n, n = length - from) {
        rawdevice::Error error;
        if (!target.read(rootOffset + at + from, card + from, n, error)) {
            debugLog("%s : compare read target (%u) error %s\n", kModule, n, error.text.c_str());
            // A card not yet written is unchanged, however it failed.
            const bool wroteAny = written.load() != Written::Nothing;
            fail(wroteAny || !target.isDevice() ? ResultWriteFailed : ResultCardUnreadable,
                 ioReason("reading", wroteAny, at + from, error));
            return -1;
        }
        if (std::memcmp(card + from, data + from, n) != 0) {
            return 0;
        }
    }
    return 1;
}

// One piece of the temporary file, which holds the root from its byte 0.
// Runs on the read-ahead thread: a failure goes to why, not to failed.
bool RootCopy::readTemp(FILE* source, uint64_t at, uint32_t length, uint8_t* into,
                        TargetFailure& why) {
    if (!fileops::seek(source, at)) {
        const std::string error = fileio::lastErrorText();
        debugLog("%s : can not seek %s to %I64u\n", kModule, tempPath.c_str(),
                 static_cast<unsigned long long>(at));
        why = {ResultTempFileRead,
               formatText("the temporary file cannot be read from byte %I64u: %s",
                          static_cast<unsigned long long>(at), error.c_str())};
        return false;
    }
    if (fileops::read(into, length, 1, source) == 1) {
        return true;
    }
    const std::string error = fileio::lastErrorText();
    debugLog("%s : fread (%u) error %s\n", kModule, length, error.c_str());
    why = {ResultTempFileRead, formatText("the temporary file could not be read at byte %I64u: %s",
                                          static_cast<unsigned long long>(at), error.c_str())};
    return false;
}

// The pieces that differ, and nothing else, are written once the target is
// taken. Taking it may have dismounted a file system over the root, which
// can flush onto pieces judged equal: then every piece is judged again.
bool RootCopy::overwrite(FILE* source, const std::string& sourcePath) {
    tempPath = sourcePath;
    TargetFailure failure;
    if (!target.openForCopy(source, failure)) {
        return fail(failure.code, failure.why);
    }
    // An update applied twice must not wear the card a second time.
    if (differing.empty()) {
        // Equal to every piece, provided the card was one and the same throughout.
        if (!target.finishCopy(false, failure)) {
            return fail(failure.code, failure.why);
        }
        debugLog("%s : target already holds the update\n", kModule);
        return fail(ResultUpToDate, "the card is already up to date; nothing was written");
    }
    debugLog("%s : %u of %I64u pieces differ, from byte %I64u of the root\n", kModule,
             static_cast<unsigned>(differing.size()),
             static_cast<unsigned long long>((rootSize + kPiece - 1) / kPiece),
             static_cast<unsigned long long>(differing.front()));
    if (!target.prepareWrite(failure)) {
        return fail(failure.code, failure.why);
    }
    const bool copied = target.tookFromOthers() ? judgeAgainAndWrite(source) : writeNoted(source);
    if (!copied) {
        return false;
    }
    debugLog("%s : wrote %I64u bytes, %I64u already on the target\n", kModule,
             static_cast<unsigned long long>(bytesWritten.load()),
             static_cast<unsigned long long>(bytesKept.load()));
    if (!target.finishCopy(true, failure)) {
        return fail(failure.code, failure.why);
    }
    written.store(Written::All);
    progress.store(kCopyEnd);
    return true;
}

// Each piece's bytes are read from the temporary file while the one before
// is being written.
bool RootCopy::writeNoted(FILE* source) {
    uint64_t toWrite = 0;
    for (const uint64_t at : differing) {
        toWrite += lengthAt(at);
    }
    bytesKept.store(rootSize - toWrite);
    uint8_t* current = pool[0].get();
    uint8_t* next = pool[1].get();
    TargetFailure why;
    ReadAhead ahead;
    ahead.start([&, current] {
        return readTemp(source, differing[0], lengthAt(differing[0]), current, why);
    });
    for (size_t i = 0; i < differing.size(); ++i) {
        if (!ahead.finish()) {
            return fail(why.code, why.why);
        }
        if (!carryOn(kInCopy)) {
            return false;
        }
        if (i + 1 < differing.size()) {
            const uint64_t following = differing[i + 1];
            ahead.start([&, following, next] {
                return readTemp(source, following, lengthAt(following), next, why);
            });
        }
        if (!writePiece(differing[i], current, lengthAt(differing[i]))) {
            return false;
        }
        std::swap(current, next);
    }
    return true;
}

// Every piece again, from the temporary file: a piece found different now
// is written. One that differed before keeps its digest from the unpacking;
// one that has changed since it was judged takes it from the file.
bool RootCopy::judgeAgainAndWrite(FILE* source) {
    debugLog("%s : a file system was taken off the root: every piece is judged again\n", kModule);
    std::vector<uint64_t> before;
    std::vector<Digest> beforeDigests;
    before.swap(differing);
    beforeDigests.swap(digestOf);
    uint8_t* const data = pool[0].get();
    size_t next = 0;
    for (uint64_t at = 0; at < rootSize; at += kPiece) {
        if (!carryOn(kInCopy)) {
            return false;
        }
        const uint32_t length = lengthAt(at);
        const bool differed = next < before.size() && before[next] == at;
        TargetFailure why;
        if (!readTemp(source, at, length, data, why)) {
            return fail(why.code, why.why);
        }
        const int same = holds(data, at, length);
        if (same < 0) {
            return false;
        }
        if (same == 1) {
            bytesKept.fetch_add(length);
            showCopied();
        } else {
            differing.push_back(at);
            if (digests) {
                digestOf.emplace_back();
                if (differed) {
                    digestOf.back() = beforeDigests[next];
                } else {
                    pieceDigest(data, length, digestOf.back().data());
                }
            }
            if (!writePiece(at, data, length)) {
                return false;
            }
        }
        next += differed ? 1 : 0;
    }
    return true;
}

bool RootCopy::writePiece(uint64_t at, const uint8_t* data, uint32_t length) {
    rawdevice::Error error;
    // Before the call: a failed write may still have changed sectors.
    written.store(Written::Partly);
    if (!target.write(rootOffset + at, data, length, error)) {
        debugLog("%s : fwrite (%u) error %s\n", kModule, length, error.text.c_str());
        // Many readers tell the lock switch only by refusing the first write.
        if (error.fault == rawdevice::Fault::WriteProtected && bytesWritten.load() == 0) {
            written.store(Written::Nothing);
            return fail(ResultWriteProtected,
                        target.isDevice()
                            ? std::string("the card is write-protected (its LOCK switch): the "
                                          "first write was refused; nothing was written")
                            : formatText("%s cannot be written: %s; nothing was written",
                                         target.displayName().c_str(), error.text.c_str()));
        }
        return fail(ResultWriteFailed, ioReason("writing", true, at, error));
    }
    bytesWritten.fetch_add(length);
    showCopied();
    return true;
}

// The copy's share of the progress: what is on the target now, written or
// found there, of the whole root.
void RootCopy::showCopied() {
    const uint64_t done = bytesWritten.load() + bytesKept.load();
    const uint64_t remaining = rootSize - (done < rootSize ? done : rootSize);
    // Single precision, as the log has always counted: a root of 24 MiB ends
    // its lines at 99.
    const float scale = 100.0f / static_cast<float>(rootSize);
    const int percent = static_cast<int>(static_cast<double>(done) * static_cast<double>(scale));
    if (percent != lastLogged) {
        debugLog("%s : overwrite %d %%\n", kModule, percent);
        lastLogged = percent;
    }
    // The owner reads 100 as done: it waits for the sync and the close.
    if (remaining > 0) {
        progress.store(kCopyEnd -
                       static_cast<int>((remaining * (kCopyEnd - kCopyStart)) / rootSize));
    }
}

// A card reader or a fake card may accept a write and keep something else:
// each piece written is read back, past the system's caches, and its digest
// compared with that of the piece as it was unpacked. The pieces left as
// they were were read through the same uncached path when they were judged.
bool RootCopy::readBack() {
    if (!digests) {
        debugLog("%s : no digests to read back against\n", kModule);
        return fail(ResultWriteFailed, "the written pieces have no digests to be compared with");
    }
    TargetFailure failure;
    if (!target.openForReadBack(failure)) {
        return fail(failure.code, failure.why);
    }
    uint64_t total = 0;
    for (const uint64_t at : differing) {
        total += lengthAt(at);
    }
    // The next piece is read while this one is hashed.
    uint8_t* current = pool[0].get();
    uint8_t* next = pool[1].get();
    rawdevice::Error error;
    const auto readPiece = [this, &error](uint64_t at, uint8_t* into) {
        if (target.read(rootOffset + at, into, lengthAt(at), error)) {
            return true;
        }
        debugLog("%s : verify read (%u) error %s\n", kModule, lengthAt(at), error.text.c_str());
        return false;
    };
    uint64_t done = 0;
    ReadAhead ahead;
    ahead.start([&, current] { return readPiece(differing[0], current); });
    for (size_t i = 0; i < differing.size(); ++i) {
        const uint64_t at = differing[i];
        const uint32_t length = lengthAt(at);
        if (!ahead.finish()) {
            return fail(ResultWriteFailed, ioReason("reading back", true, at, error));
        }
        if (!carryOn(kInReadBack)) {
            return false;
        }
        if (i + 1 < differing.size()) {
            const uint64_t following = differing[i + 1];
            ahead.start([&, following, next] { return readPiece(following, next); });
        }
        const uint8_t* const buffer = current;
        std::swap(current, next);
        Digest read;
        pieceDigest(buffer, length, read.data());
        if (read != digestOf[i]) {
            const std::string wrote = hexDigest(digestOf[i].data());
            const std::string got = hexDigest(read.data());
            debugLog("%s : verify fail at %I64u written %s read %s\n", kModule,
                     static_cast<unsigned long long>(at), wrote.c_str(), got.c_str());
            return fail(
                ResultWriteFailed,
                formatText("%s holds something else than was written in the piece at byte "
                           "%I64u of the root partition: SHA-256 written %s, read back %s",
                           target.displayName().c_str(), static_cast<unsigned long long>(at),
                           wrote.c_str(), got.c_str()));
        }
        done += length;
        bytesReadBack.store(done);
        progress.store(99 - static_cast<int>(((total - done) * (99 - kCopyEnd - 1)) / total));
    }
    if (!target.finishReadBack(failure)) {
        return fail(failure.code, failure.why);
    }
    debugLog("%s : verify pieces read back %u, bytes %I64u, equal to the unpacked root\n", kModule,
             static_cast<unsigned>(differing.size()), static_cast<unsigned long long>(done));
    return true;
}

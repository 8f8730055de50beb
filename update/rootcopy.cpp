#include "update/rootcopy.h"

// SHA256_Init/Update/Final are deprecated in OpenSSL 3 but still provided.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

#include "common/fileio.h"
#include "common/resultcode.h"

namespace {

const char* const kModule = "applyupdatefile";

}  // namespace

RootCopy::RootCopy(Target& target, std::atomic<int>& progress, std::function<bool(int)> carryOn)
    : target(target), progress(progress), carryOn(std::move(carryOn)) {}

void RootCopy::reset() {
    failed = TargetFailure();
    written.store(Written::Nothing);
    bytesWritten.store(0);
    bytesKept.store(0);
}

bool RootCopy::fail(int code, const std::string& why) {
    failed.code = code;
    failed.why = why;
    return false;
}

// What a failed target read or write means to the user. A card pulled out
// shows as a device that is gone, and only another full run mends it.
std::string RootCopy::ioReason(const char* what, bool wroteAny, uint64_t done,
                               const rawdevice::Error& error) const {
    if (target.isDevice() && error.fault == rawdevice::Fault::Gone) {
        return formatText(wroteAny ? "the card was removed during the update, at byte %I64u of "
                                     "the root partition; its root partition is incomplete: put "
                                     "it back and update again"
                                   : "the card was removed at byte %I64u of the root partition, "
                                     "before anything was written; put it back and update again",
                          static_cast<unsigned long long>(done));
    }
    return formatText("%s %s failed at byte %I64u of the root partition: %s", what,
                      target.displayName().c_str(), static_cast<unsigned long long>(done),
                      error.text.c_str());
}

// Walks bytes from to size in chunks of length bytes, calling step(done, chunk) for
// each, with a stop seen between two chunks, paused or not.
template <typename Step>
bool RootCopy::eachChunk(uint64_t from, uint64_t size, uint32_t length, Checkpoint checkpoint,
                         Step step) {
    for (uint64_t done = from; done < size;) {
        if (!carryOn(checkpoint)) {
            return false;
        }
        const uint32_t chunk = size - done > length ? length : static_cast<uint32_t>(size - done);
        if (!step(done, chunk)) {
            return false;
        }
        done += chunk;
    }
    return true;
}

bool RootCopy::seekTemp(FILE* source, uint64_t offset) {
    if (fileops::seek(source, offset)) {
        return true;
    }
    const std::string error = fileio::lastErrorText();
    debugLog("%s : can not open update file %s\n", kModule, tempPath.c_str());
    return fail(ResultTempFileRead,
                (offset == 0 ? std::string("the temporary file cannot be read from its start: ")
                             : formatText("the temporary file cannot be read from byte %I64u: ",
                                          static_cast<unsigned long long>(offset))) +
                    error);
}

// Writes the pieces of the root that differ from the temporary file. A first
// pass finds the first such piece; only then is the card taken for writing.
// The copy goes on from there, unless taking it dismounted a file system
// over the root, which may have flushed onto the pieces judged equal: then
// every piece is judged again from the start.
bool RootCopy::overwrite(FILE* source, const std::string& sourcePath, uint64_t offset,
                         uint64_t size) {
    tempPath = sourcePath;
    TargetFailure failure;
    if (!target.openForCopy(source, failure)) {
        return fail(failure.code, failure.why);
    }
    if (!seekTemp(source, 0)) {
        return false;
    }
    ChunkBuffer buffer = allocateChunk(2 * kPiece);
    if (!buffer) {
        debugLog("%s : copy buffer fail %u\n", kModule, 2 * kPiece);
        return fail(ResultNoResources, "out of memory for the copy");
    }
    uint8_t* const data = buffer.get();
    uint8_t* const held = buffer.get() + kPiece;

    // An update applied twice must not wear the card a second time.
    bool differs = false;
    uint64_t firstDiffering = 0;
    const bool compared = eachChunk(0, size, kPiece, kInCopy, [&](uint64_t done, uint32_t piece) {
        const int same = holdsPiece(source, data, held, offset, done, piece);
        if (same == 0) {
            debugLog("%s : target differs within %I64u\n", kModule,
                     static_cast<unsigned long long>(done + piece));
            differs = true;
            firstDiffering = done;
        }
        return same == 1;
    });
    if (!differs) {
        if (!compared) {
            return false;
        }
        target.finishCopy(false, failure);
        debugLog("%s : target already holds the update\n", kModule);
        return fail(ResultUpToDate, "the card is already up to date; nothing was written");
    }
    if (!target.prepareWrite(failure)) {
        return fail(failure.code, failure.why);
    }
    // Unless a file system was taken off the root, the pieces found equal
    // are still equal: the copy goes on at the first that differs.
    const uint64_t from = target.tookFromOthers() ? 0 : firstDiffering;
    if (!seekTemp(source, from)) {
        return false;
    }
    bytesKept.store(from);

    const float scale = size != 0 ? 100.0f / static_cast<float>(size) : 0.0f;
    int lastLogged = 0;
    const bool copied = eachChunk(from, size, kPiece, kInCopy, [&](uint64_t done, uint32_t piece) {
        const int same = holdsPiece(source, data, held, offset, done, piece);
        if (same < 0) {
            return false;
        }
        if (same == 1) {
            bytesKept.fetch_add(piece);
        } else {
            rawdevice::Error error;
            // Before the call: a failed write may still have changed sectors.
            written.store(Written::Partly);
            if (!target.write(offset + done, data, piece, error)) {
                debugLog("%s : fwrite (%u) error %s\n", kModule, piece, error.text.c_str());
                return fail(ResultWriteFailed, ioReason("writing", true, done, error));
            }
            bytesWritten.fetch_add(piece);
        }
        const uint64_t remaining = size - done - piece;
        const int percent =
            static_cast<int>(static_cast<double>(size - remaining) * static_cast<double>(scale));
        if (percent != lastLogged) {
            debugLog("%s : overwrite %d %%\n", kModule, percent);
            lastLogged = percent;
        }
        // The owner reads 100 as done, and the formula reaches 100 while up to
        // a piece is still unwritten: 100 waits for the sync and the close.
        if (remaining > 0) {
            progress.store(kCopyEnd -
                           static_cast<int>((remaining * (kCopyEnd - kCopyStart)) / size));
        }
        return true;
    });
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

// One chunk of the temporary file, which starts at byte done of the root.
bool RootCopy::readTempChunk(uint8_t* buffer, uint32_t chunk, FILE* source, uint64_t done) {
    if (fileops::read(buffer, chunk, 1, source) == 1) {
        return true;
    }
    const std::string error = fileio::lastErrorText();
    debugLog("%s : fread (%u) error %s\n", kModule, chunk, error.c_str());
    return fail(ResultTempFileRead,
                formatText("the temporary file could not be read at byte %I64u: %s",
                           static_cast<unsigned long long>(done), error.c_str()));
}

// Reads the next piece of the temporary file into data and tells whether the
// card's root already holds it there: 1 when it does, 0 when not, -1 on a
// failure (code set). A piece that differs usually differs at its start, so
// its head is read first and the rest only when the head is equal.
int RootCopy::holdsPiece(FILE* source, uint8_t* data, uint8_t* held, uint64_t offset, uint64_t done,
                         uint32_t piece) {
    if (!readTempChunk(data, piece, source, done)) {
        return -1;
    }
    const uint32_t head = piece > kPieceHead ? kPieceHead : piece;
    for (uint32_t at = 0, length = head; at < piece; at += length, length = piece - at) {
        rawdevice::Error error;
        if (!target.read(offset + done + at, held + at, length, error)) {
            debugLog("%s : compare read target (%u) error %s\n", kModule, length,
                     error.text.c_str());
            fail(ResultWriteFailed,
                 ioReason("reading", written.load() != Written::Nothing, done + at, error));
            return -1;
        }
        if (std::memcmp(held + at, data + at, length) != 0) {
            return 0;
        }
    }
    return 1;
}

// A card reader or a fake card may accept a write and keep something else:
// the root is read back, past the system's caches, and its digest compared
// with that of the bytes the unpacking wrote.
bool RootCopy::readBack(uint64_t offset, uint64_t size, const uint8_t* expected) {
    TargetFailure failure;
    if (!target.openForReadBack(failure)) {
        return fail(failure.code, failure.why);
    }
    ChunkBuffer buffer = allocateChunk(kReadBackChunk);
    if (!buffer) {
        debugLog("%s : verify buffer fail %u\n", kModule, kReadBackChunk);
        return fail(ResultNoResources, "out of memory for reading the update back");
    }
    SHA256_CTX sha;
    SHA256_Init(&sha);
    const bool readBackWhole =
        eachChunk(0, size, kReadBackChunk, kInReadBack, [&](uint64_t done, uint32_t chunk) {
            rawdevice::Error error;
            if (!target.read(offset + done, buffer.get(), chunk, error)) {
                debugLog("%s : verify fread (%u) error %s\n", kModule, chunk, error.text.c_str());
                return fail(ResultWriteFailed, ioReason("reading back", true, done, error));
            }
            SHA256_Update(&sha, buffer.get(), chunk);
            const uint64_t remaining = size - done - chunk;
            progress.store(99 - static_cast<int>((remaining * (99 - kCopyEnd - 1)) / size));
            return true;
        });
    if (!readBackWhole) {
        return false;
    }
    uint8_t readBack[32];
    SHA256_Final(readBack, &sha);
    if (!target.finishReadBack(failure)) {
        return fail(failure.code, failure.why);
    }
    const std::string wrote = hexDigest(expected);
    const std::string read = hexDigest(readBack);
    if (wrote != read) {
        debugLog("%s : verify fail written %s read %s\n", kModule, wrote.c_str(), read.c_str());
        return fail(ResultWriteFailed,
                    formatText("%s holds something else than was written: SHA-256 written %s, "
                               "read back %s",
                               target.displayName().c_str(), wrote.c_str(), read.c_str()));
    }
    debugLog("%s : verify written %s read %s equal\n", kModule, wrote.c_str(), read.c_str());
    return true;
}

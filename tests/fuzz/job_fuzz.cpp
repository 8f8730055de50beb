// A whole update job on a small card with an arbitrary update file, then the
// same file with its header sealed again (digest and CRC as the writer sets
// them), so that mutated payloads and header values reach the unpacking and
// the copy, on an image file or on a drive. Whatever the file holds:
// - the bytes outside the root partition never change;
// - a job ends with success or with a result code, never both, never neither;
// - the root partition changes only on success, and then holds exactly what
//   the payload inflates to, a payload whose digest the header names;
// - no temporary file and no handle is left.
#include <openssl/sha.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "stages/updatefile.h"
#include "tests/fuzz/fuzzutil.h"
#include "tests/support/fake_platform.h"
#include "update/applyupdatefile.h"

namespace {

using fuzz::Bytes;

// The root partition as the payload would leave it; false when the payload
// is no stream of exactly that size.
bool inflatedRoot(const Bytes& file, Bytes& root) {
    const size_t headerSize = 104 + 32 * static_cast<size_t>(file[8] | (file[9] << 8));
    if (file.size() < headerSize) {
        return false;
    }
    root.assign(fuzz::kRootSize + 1, 0);
    uLongf length = static_cast<uLongf>(root.size());
    uLong consumed = static_cast<uLong>(file.size() - headerSize);
    if (uncompress2(root.data(), &length, file.data() + headerSize, &consumed) != Z_OK) {
        return false;
    }
    root.resize(length);
    return length == fuzz::kRootSize;
}

bool digestNamedByHeader(const Bytes& file) {
    const size_t headerSize = 104 + 32 * static_cast<size_t>(file[8] | (file[9] << 8));
    Bytes plain(file.begin(), file.begin() + static_cast<long>(headerSize));
    UpdateFile::encode(plain.data(), plain.size());
    uint8_t digest[32];
    SHA256(file.data() + headerSize, file.size() - headerSize, digest);
    return std::memcmp(digest, &plain[40], 32) == 0;
}

void runJob(const Bytes& file, bool onDrive) {
    static const Bytes card = fuzz::makeCard(1);
    static const std::string update = fuzz::scratchFile("update.qlu");
    static const std::string image = fuzz::scratchFile("card.img");
    fuzz::writeFile(update, file.data(), file.size());
    fuzz::writeFile(image, card.data(), card.size());
    fakeplatform::reset();
    std::string target = image;
    std::string drive;
    if (onDrive) {
        fakeplatform::Disk disk;
        disk.backingFile = image;
        fakeplatform::addDrive('E', disk);
        target = "\\\\.\\PHYSICALDRIVE1";
        drive = "E:";
    }

    bool success = false;
    int result = -1;
    int progress = -1;
    {
        ApplyUpdateFile job(update, target, drive);
        job.create();
        job.join();
        success = job.isSuccess();
        result = job.getResult();
        progress = job.getProgress();
    }

    const Bytes after = fuzz::readFile(image);
    FUZZ_CHECK(after.size() == card.size());
    const auto rootBegin = static_cast<long>(fuzz::kRootOffset);
    const auto rootEnd = static_cast<long>(fuzz::kRootOffset + fuzz::kRootSize);
    FUZZ_CHECK(std::equal(after.begin(), after.begin() + rootBegin, card.begin()));
    FUZZ_CHECK(std::equal(after.begin() + rootEnd, after.end(), card.begin() + rootEnd));
    FUZZ_CHECK(success != (result != ResultNone));
    const Bytes root(after.begin() + rootBegin, after.begin() + rootEnd);
    if (success) {
        FUZZ_CHECK(progress == 100);
        Bytes expected;
        FUZZ_CHECK(inflatedRoot(file, expected) && root == expected);
        FUZZ_CHECK(digestNamedByHeader(file));
    } else {
        FUZZ_CHECK(std::equal(root.begin(), root.end(), card.begin() + rootBegin));
    }
    std::vector<std::string> left = fuzz::scratchNames();
    std::sort(left.begin(), left.end());
    FUZZ_CHECK((left == std::vector<std::string>{"card.img", "update.qlu"}));
    FUZZ_CHECK(fakeplatform::openHandles() == 0);
    fakeplatform::reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes file(data, data + size);
    runJob(file, false);
    // Byte 7 is never examined by the reader. Here its bit 0 picks the sealed
    // file's target, so that both kinds are fuzzed at the cost of one job, and
    // its bit 1 adds a byte behind the sealed payload: the stream still
    // inflates, only the digest can tell, and the job must refuse the file.
    if (fuzz::reseal(file)) {
        if ((file[7] & 2) != 0) {
            file.push_back(0x5A);
        }
        runJob(file, (file[7] & 1) != 0);
    }
    return 0;
}

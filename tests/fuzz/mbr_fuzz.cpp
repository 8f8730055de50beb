// The partition layout model on arbitrary sectors and image sizes: loadMbr,
// isValid, the root offset and size and the dump, of an image file and of a
// drive (the tests' file-backed raw storage) with any sector size.
// Input: 8 bytes image size, 4 bytes bytes per sector, then the sector.
#include <unistd.h>

#include <cstring>

#include "storage/deviceinfo.h"
#include "storage/imageinfo.h"
#include "tests/fuzz/fuzzutil.h"
#include "tests/support/fake_platform.h"

namespace {

uint64_t take(const uint8_t*& data, size_t& size, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes && size > 0; ++i, ++data, --size) {
        v |= static_cast<uint64_t>(*data) << (8 * i);
    }
    return v;
}

// Entry 1 as an update may write it: not empty, extended or a GPT's
// protective entry, and no other entry of a type over its sectors.
bool rootIsItsOwn(const MbrInfo& mbr) {
    const uint8_t type = mbr.getType(1);
    if (type == 0x00 || type == 0x05 || type == 0x0F || type == 0x85 || type == 0xEE) {
        return false;
    }
    const uint64_t start = mbr.getStartSector(1), end = start + mbr.getSectorCount(1);
    for (int i = 2; i <= 3; ++i) {
        const uint64_t first = mbr.getStartSector(i), last = first + mbr.getSectorCount(i);
        if (mbr.getType(i) != 0 && first < last && first < end && start < last) {
            return false;
        }
    }
    return true;
}

// What every valid layout promises the job: a root partition that is not
// empty, lies behind sector 0 and partition 0, is a partition of its own and
// ends inside the image.
void checkImage(const std::string& path, const MbrInfo& sector, uint64_t fileSize) {
    ImageInfo image;
    if (!image.setName(path)) {
        FUZZ_CHECK(fileSize == 0);
        FUZZ_CHECK(!image.isValid() && image.getRootOffset() == 0 && image.getRootSize() == 0);
        return;
    }
    FUZZ_CHECK(image.getSize() == fileSize);
    const bool loaded = image.loadMbr();
    FUZZ_CHECK(loaded == (fileSize >= 512));
    const bool valid = image.isValid();
    const uint64_t offset = image.getRootOffset();
    const uint64_t size = image.getRootSize();
    if (!valid) {
        FUZZ_CHECK(offset == 0 && size == 0);
        return;
    }
    FUZZ_CHECK(loaded || fileSize < 512);
    const MbrInfo& mbr = loaded ? sector : MbrInfo();
    FUZZ_CHECK(size > 0 && size % 512 == 0 && offset % 512 == 0);
    FUZZ_CHECK(offset >= 512);
    FUZZ_CHECK(offset >= uint64_t{mbr.getEndSector(0)} * 512);
    FUZZ_CHECK(offset + size <= fileSize);
    FUZZ_CHECK(offset == uint64_t{mbr.getStartSector(1)} * 512);
    FUZZ_CHECK(rootIsItsOwn(mbr));
}

void checkDrive(const std::string& path, const MbrInfo& sector, uint32_t bytesPerSector,
                uint64_t fileSize) {
    fakeplatform::reset();
    fakeplatform::Disk disk;
    disk.backingFile = path;
    disk.bytesPerSector = bytesPerSector;
    fakeplatform::addDrive('E', disk);
    DeviceInfo drive("E:");
    FUZZ_CHECK(drive.isReady());
    // The drive reads one whole sector when its size is a multiple of 512.
    const bool wholeSector =
        bytesPerSector > 512 && bytesPerSector <= 65536 && bytesPerSector % 512 == 0;
    const uint64_t needed = wholeSector ? bytesPerSector : 512;
    const bool loaded = drive.loadMbr();
    FUZZ_CHECK(loaded == (fileSize >= needed));
    const MbrInfo& mbr = loaded ? sector : MbrInfo();
    FUZZ_CHECK(std::memcmp(drive.getMbr().data(), mbr.data(), 512) == 0);
    // Entries are judged once a table is read; the root is where entry 1
    // says, or at 0 when an update may not write it.
    const bool root = !loaded || rootIsItsOwn(mbr);
    FUZZ_CHECK(drive.isValid() == root);
    FUZZ_CHECK(drive.getRootOffset() ==
               (root ? uint64_t{mbr.getStartSector(1)} * bytesPerSector : 0));
    FUZZ_CHECK(drive.getRootSize() ==
               (root ? uint64_t{mbr.getSectorCount(1)} * bytesPerSector : 0));
    FUZZ_CHECK(drive.getSize() == uint64_t{mbr.getMaxEndSector()} * bytesPerSector);
    FUZZ_CHECK(fakeplatform::openHandles() == 0);
    fakeplatform::reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::scratchFile("card.img");
    // Sparse: sizes up to 8 TiB cost nothing.
    const uint64_t fileSize = take(data, size, 8) & ((1ull << 43) - 1);
    const uint32_t bytesPerSector = static_cast<uint32_t>(take(data, size, 4));
    MbrInfo sector;
    std::memcpy(sector.data(), data, size < 512 ? size : 512);

    fuzz::writeFile(path, sector.data(), sector.size());
    FUZZ_CHECK(truncate(path.c_str(), static_cast<off_t>(fileSize)) == 0);

    // The entries as the model reads them, and the dump of any table.
    uint32_t maxEnd = 0;
    for (int i = -1; i <= 4; ++i) {
        const bool entry = i >= 0 && i <= 3;
        FUZZ_CHECK(entry || (sector.getStartSector(i) == 0 && sector.getEndSector(i) == 0));
        FUZZ_CHECK(sector.getEndSector(i) == sector.getStartSector(i) + sector.getSectorCount(i));
        if (entry && sector.getEndSector(i) > maxEnd) {
            maxEnd = sector.getEndSector(i);
        }
    }
    FUZZ_CHECK(sector.getMaxEndSector() == maxEnd);
    sector.dump(bytesPerSector);

    checkImage(path, sector, fileSize);
    checkDrive(path, sector, bytesPerSector, fileSize);
    return 0;
}

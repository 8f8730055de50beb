// Whole update jobs against image files and the file-backed fake drive: the
// result code, the log line naming the cause, the temporary file and the
// bytes on the target.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "common/common.h"
#include "stages/hash.h"
#include "stages/updatefile.h"
#include "tests/support/fake_platform.h"
#include "tests/support/faultinject.h"
#include "tests/support/testutil.h"
#include "update/applyupdatefile.h"
#include "update/jobwatch.h"
#ifdef _WIN32
#include "update/jobwatch_win.h"
#undef near  // windows.h's, a name below
#endif

namespace fs = std::filesystem;
using testutil::countOf;
using testutil::digest;
using testutil::fileExists;

namespace {

constexpr uint64_t kSector = 512;
constexpr uint32_t kRootStart = 32;
constexpr uint32_t kRootCount = 4096;  // 2 MiB
constexpr uint64_t kRootOffset = kRootStart * kSector;
constexpr uint64_t kRootSize = kRootCount * kSector;
const std::string kJob = "applyupdatefile : ";
const std::string kCopy = "rootcopy : ";

// Boot partition, root (entry 1), then a data partition: bytes on both sides
// of the root that no job may touch.
void makeCard(const std::string& path, uint32_t rootStart, uint32_t rootCount, uint32_t seed) {
    testutil::makeCardImage(
        path, {{8, 24, 0x0c, 0x80}, {rootStart, rootCount}, {rootStart + rootCount, 64}},
        (uint64_t{rootStart} + rootCount + 64) * kSector, seed);
}

struct Regions {
    std::string head, root, tail;
};
Regions regions(const std::string& path, uint64_t offset, uint64_t size) {
    return {digest(path, 0, offset), digest(path, offset, size), digest(path, offset + size)};
}

std::vector<uint8_t> deflateBytes(const std::vector<uint8_t>& data) {
    uLongf n = compressBound(static_cast<uLong>(data.size()));
    std::vector<uint8_t> out(n);
    EXPECT_EQ(compress2(out.data(), &n, data.data(), static_cast<uLong>(data.size()),
                        Z_DEFAULT_COMPRESSION),
              Z_OK);
    out.resize(n);
    return out;
}

// An update file naming startOffset and size whose header carries the true
// digest of exactly these payload bytes, sound or not.
void writeUpdateFile(const std::string& path, uint64_t startOffset, uint64_t size,
                     const std::vector<uint8_t>& payload) {
    const std::string payloadPath = path + ".payload";
    testutil::writeFile(payloadPath, payload);
    testutil::captureLog([&] {
        Hash hash;
        const uint8_t aux[32] = {};
        UpdateFile writer(0);
        EXPECT_TRUE(hash.calcHash(payloadPath, 0, 0) &&
                    writer.setupHeader(startOffset, size, hash.getHashValue(), aux) &&
                    writer.appendFile(path, payloadPath));
    });
    std::remove(payloadPath.c_str());
}

void xorByte(const std::string& path, uint64_t offset, uint8_t mask) {
    std::vector<uint8_t> bytes = testutil::readFile(path);
    ASSERT_LT(offset, bytes.size());
    bytes[offset] ^= mask;
    testutil::writeFile(path, bytes);
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Temporary files of jobs on update: "<update>.*.tmp" beside it.
int tempFilesBeside(const std::string& update) {
    const fs::path u(update);
    const std::string prefix = u.filename().string() + ".";
    int n = 0;
    for (const auto& entry : fs::directory_iterator(u.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name.size() > prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - 4, 4, ".tmp") == 0) {
            ++n;
        }
    }
    return n;
}

// Polls until done() holds; gives up after a minute.
bool waitFor(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        sleepMs(5);
    }
    return true;
}

struct Hooks {
    std::function<void(ApplyUpdateFile&)> beforeCreate;  // this thread
    std::function<void(ApplyUpdateFile&)> atFreeSpace;   // the worker, before the header is read
    std::function<void(ApplyUpdateFile&)> whileRunning;  // this thread, after create()
    // Before each stream call, on the thread that makes it: 0 or an errno.
    std::function<int(const faultinject::Call&, ApplyUpdateFile&)> onCall;
    std::function<void(faultinject::Injector&)> arm;  // before the job is built
    int lockPatienceMs = -1;  // a drive target that tries a refused lock this long
};

struct Outcome {
    int result = -1;
    int progress = -1;
    bool success = false;
    std::string log;
    std::string reason;
    uint64_t hashed = 0, unpacked = 0;  // the counts qlupdate shows
    uint64_t written = 0, kept = 0;     // bytes of the root written, and found in place
    std::string temp;                   // the job's temporary file
    int openStreams = -1;
    std::vector<faultinject::Call> calls;
    bool fired = false;
    faultinject::Call failed;
    bool has(const std::string& line) const { return countOf(log, line) == 1; }
};

Outcome runJob(const std::string& update, const std::string& target, const std::string& drive = "",
               const Hooks& hooks = {}) {
    std::unique_ptr<ApplyUpdateFile> job;
    if (hooks.atFreeSpace) {
        fakeplatform::volume().onFreeSpace = [&] { hooks.atFreeSpace(*job); };
    }
    faultinject::Injector injector;
    if (hooks.arm) {
        hooks.arm(injector);
    }
    if (hooks.onCall) {
        injector.onCall([&](const faultinject::Call& c) { return hooks.onCall(c, *job); });
    }
    Outcome out;
    out.log = testutil::captureLog([&] {
        job = hooks.lockPatienceMs >= 0
                  ? std::make_unique<ApplyUpdateFile>(
                        update, std::make_unique<DriveTarget>(drive, hooks.lockPatienceMs))
                  : std::make_unique<ApplyUpdateFile>(update, target, drive);
        if (hooks.beforeCreate) {
            hooks.beforeCreate(*job);
        }
        job->create();
        if (hooks.whileRunning) {
            hooks.whileRunning(*job);
        }
        job->join();
    });
    fakeplatform::volume().onFreeSpace = nullptr;
    out.result = job->getResult();
    out.progress = job->getProgress();
    out.success = job->isSuccess();
    out.reason = job->getReason();
    out.hashed = job->getHashedBytes();
    out.unpacked = job->getUnpackedBytes();
    out.written = job->getBytesWritten();
    out.kept = job->getBytesKept();
    out.temp = job->getTempFilePath();
    out.openStreams = injector.openStreams();
    out.calls = injector.calls();
    out.fired = injector.fired();
    out.failed = injector.failedCall();
    return out;
}

// Which stream a call was made on: "target", "temp", or the module that
// opened the update file ("updatefile", "hash", "compress").
std::string streamOf(const faultinject::Call& c, const std::string& target) {
    return c.path == target ? "target" : endsWith(c.path, ".tmp") ? "temp" : c.user;
}

class ApplyUpdateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeplatform::reset();
        makeCard(pristine, kRootStart, kRootCount, 1);
        makeCard(newCard, kRootStart, kRootCount, 2);
        ASSERT_TRUE(testutil::makeUpdateFile(newCard, update));
        newRoot = digest(newCard, kRootOffset, kRootSize);
        untouched = digest(pristine);
    }
    void TearDown() override { fakeplatform::reset(); }

    // Copies for one run. (MinGW's copy_file cannot overwrite.)
    std::string fresh(const std::string& from, const std::string& name) {
        const std::string path = dir.file(name);
        fs::remove(path);
        fs::copy_file(from, path);
        return path;
    }
    std::string freshTarget(const std::string& name) { return fresh(pristine, name); }
    std::string freshUpdate(const std::string& name) { return fresh(update, name); }
    std::vector<uint8_t> newRootBytes() {
        const std::vector<uint8_t> card = testutil::readFile(newCard);
        return std::vector<uint8_t>(card.begin() + kRootOffset,
                                    card.begin() + kRootOffset + kRootSize);
    }
    void expectUpdated(const std::string& target, const std::string& rootDigest) {
        const Regions before = regions(pristine, kRootOffset, kRootSize);
        const Regions after = regions(target, kRootOffset, kRootSize);
        EXPECT_EQ(after.head, before.head);
        EXPECT_EQ(after.tail, before.tail);
        EXPECT_EQ(after.root, rootDigest);
    }

    // A card with a root of count sectors and an update file for it.
    struct Card {
        std::string target, update;
        uint64_t rootSize;
        std::string newRoot;
        Regions before;
    };
    Card makeCardAndUpdate(const std::string& name, uint32_t count) {
        Card c{dir.file(name + ".img"), dir.file(name + ".bin"), count * kSector, "", {}};
        const std::string source = dir.file(name + "-new.img");
        makeCard(c.target, kRootStart, count, 11);
        makeCard(source, kRootStart, count, 12);
        EXPECT_TRUE(testutil::makeUpdateFile(source, c.update));
        c.newRoot = digest(source, kRootOffset, c.rootSize);
        c.before = regions(c.target, kRootOffset, c.rootSize);
        return c;
    }
    // What every ended job leaves: no temporary file, no open stream or
    // handle, the bytes outside the root as they were; the root either
    // rewritten (success) or, unless the copy began, untouched.
    void expectCleanEnd(const Card& c, const Outcome& out, bool copyBegan) {
        EXPECT_EQ(tempFilesBeside(c.update), 0);
        EXPECT_EQ(out.openStreams, 0);
        EXPECT_EQ(fakeplatform::openHandles(), 0);
        const Regions after = regions(c.target, kRootOffset, c.rootSize);
        EXPECT_EQ(after.head, c.before.head);
        EXPECT_EQ(after.tail, c.before.tail);
        if (out.success) {
            EXPECT_EQ(out.result, ResultNone);
            EXPECT_EQ(after.root, c.newRoot);
        } else if (!copyBegan) {
            EXPECT_EQ(after.root, c.before.root);
        }
    }

    testutil::TempDir dir;
    const std::string pristine = dir.file("card.img");
    const std::string newCard = dir.file("new.img");
    const std::string update = dir.file("update.bin");
    std::string newRoot;
    std::string untouched;
};

TEST_F(ApplyUpdateFileTest, WritesTheRootPartitionAndNothingElse) {
    const std::string target = freshTarget("target.img");
    const Outcome out = runJob(update, target);
    EXPECT_EQ(out.result, ResultNone);
    EXPECT_EQ(out.progress, 100);
    EXPECT_TRUE(out.success);
    EXPECT_TRUE(out.has(kJob + "construct update " + update + " target " + target +
                        " drive \n target image\n"));
    EXPECT_TRUE(out.has(kJob + "apply success\n"));
    // Only what happened: the offset once the table is read, no rule that failed.
    EXPECT_TRUE(out.has(kJob + "root offset 16384 \n")) << out.log;
    EXPECT_EQ(countOf(out.log, "imageinfo : ") + countOf(out.log, "error"), 0) << out.log;
    EXPECT_EQ(out.hashed, fs::file_size(update) - UpdateFile::kFixedHeaderSize);
    EXPECT_EQ(out.unpacked, kRootSize);
    EXPECT_TRUE(
        out.has(kCopy + "verify pieces read back 1, bytes 2097152, equal to the unpacked root\n"))
        << out.log;
    EXPECT_EQ(tempFilesBeside(update), 0);
    expectUpdated(target, newRoot);
}

// The target keeps something else than what was written: the read-back
// catches it (code 5), unless verification is off.
TEST_F(ApplyUpdateFileTest, ReadBackThatDiffersIsCodeFiveUnlessVerificationIsOff) {
    for (const bool verify : {true, false}) {
        SCOPED_TRACE(verify);
        const std::string target = freshTarget("changing.img");
        bool changed = false;  // by the job's worker, read after the join
        Hooks hooks;
        hooks.beforeCreate = [&](ApplyUpdateFile& job) { job.setVerify(verify); };
        // The copy's close comes after its sync: the card changes its bytes
        // once the write is done, through the job's own stream, since no
        // other writer may open the image meanwhile.
        hooks.onCall = [&](const faultinject::Call& c, ApplyUpdateFile&) {
            if (c.op == fileops::Op::Close && c.path == target && !changed) {
                changed = true;
                const long at = static_cast<long>(kRootOffset + kRootSize / 2);
                std::fseek(c.file, at, SEEK_SET);
                const int byte = std::fgetc(c.file);
                std::fseek(c.file, at, SEEK_SET);
                std::fputc(byte ^ 0x01, c.file);
                std::fflush(c.file);
            }
            return 0;
        };
        const Outcome out = runJob(update, target, "", hooks);
        ASSERT_TRUE(changed);
        const std::string kept = digest(target, kRootOffset, kRootSize);
        EXPECT_NE(kept, newRoot);
        EXPECT_EQ(countOf(out.log, kCopy + "verify "), verify ? 1 : 0) << out.log;
        EXPECT_EQ(out.success, !verify);
        EXPECT_EQ(out.progress, verify ? 84 : 100);  // the one piece read back differs
        EXPECT_EQ(out.result, verify ? ResultWriteFailed : ResultNone);
        if (verify) {
            EXPECT_TRUE(
                out.has(kCopy + "verify fail at 0 written " + newRoot + " read " + kept + "\n"))
                << out.log;
            EXPECT_EQ(out.reason, target +
                                      " holds something else than was written in the piece at "
                                      "byte 0 of the root partition: SHA-256 written " +
                                      newRoot + ", read back " + kept);
        }
        EXPECT_EQ(out.openStreams, 0);
        EXPECT_EQ(tempFilesBeside(update), 0);
    }
}

// Each job has a temporary file of its own: two jobs on one update file both
// succeed, and what lies beside it stays as it is: a target at the old fixed
// name, a crashed run's leftover, a link.
TEST_F(ApplyUpdateFileTest, JobsMeetNeitherEachOtherNorFilesBesideTheUpdateFile) {
    const std::string targets[] = {fresh(pristine, "update.bin.tmp"), freshTarget("b.img")};
    const std::string leftover = update + ".0123456789ab.tmp";
    testutil::writeText(leftover, "leftover");
    std::error_code ec;
    fs::create_symlink(leftover, update + ".feedfacecafe.tmp", ec);
    std::unique_ptr<ApplyUpdateFile> jobs[2];
    testutil::captureLog([&] {
        for (int i = 0; i < 2; ++i) {
            jobs[i] = std::make_unique<ApplyUpdateFile>(update, targets[i], "");
            jobs[i]->create();
        }
        jobs[0]->join();
        jobs[1]->join();
    });
    EXPECT_NE(jobs[0]->getTempFilePath(), jobs[1]->getTempFilePath());
    for (int i = 0; i < 2; ++i) {
        const std::string& temp = jobs[i]->getTempFilePath();
        EXPECT_TRUE(jobs[i]->isSuccess());
        EXPECT_EQ(temp.rfind(update + ".", 0) + temp.size(), update.size() + 17) << temp;
        EXPECT_FALSE(fileExists(temp));
        expectUpdated(targets[i], newRoot);
    }
    EXPECT_EQ(testutil::readFile(leftover).size(), 8u);
}

// Another process makes the target's path a second name of the temporary
// file: the job writes the image it checked and holds, and never reads the
// temporary file back as the target. On POSIX the temporary file has no name
// to link; on Windows the held image cannot be replaced.
TEST_F(ApplyUpdateFileTest, TargetThatIsTheTemporaryFileIsRefused) {
    const std::string target = freshTarget("target.img");
    bool linked = false;
    bool named = false;
    Hooks hooks;
    hooks.onCall = [&](const faultinject::Call& c, ApplyUpdateFile&) {
        if (c.op == fileops::Op::Write && endsWith(c.path, ".tmp") && !named && !linked) {
            named = fileExists(c.path);
            std::error_code ec;
            fs::create_hard_link(c.path, target + ".link", ec);
            if (!ec) {
                fs::rename(target + ".link", target, ec);
                linked = !ec;
                fs::remove(target + ".link", ec);
            }
        }
        return 0;
    };
    const Outcome out = runJob(update, target, "", hooks);
#ifndef _WIN32
    EXPECT_FALSE(named) << "the temporary file keeps a name while it is written";
#endif
    if (!linked) {
        EXPECT_TRUE(out.success) << out.log;
        expectUpdated(target, newRoot);
        return;
    }
    EXPECT_EQ(out.result, ResultWriteFailed);
    EXPECT_TRUE(out.has(kJob + "verify " + target + " is another file\n")) << out.log;
    EXPECT_FALSE(out.success);
    EXPECT_EQ(tempFilesBeside(update), 0);
}

TEST_F(ApplyUpdateFileTest, TargetThatCannotBeNamedFailsAtConstruction) {
    for (const std::string drive : {"", "F:"}) {
        const Outcome out = runJob(update, dir.file("missing.img"), drive);
        EXPECT_EQ(out.result, ResultInvalidMedia) << drive;
        EXPECT_EQ(out.progress, 0) << drive;
        EXPECT_TRUE(out.has(kJob + "target invalid file " + drive + "\n")) << out.log;
        EXPECT_TRUE(out.has(kJob + "create() already result fail\n")) << out.log;
        EXPECT_EQ(countOf(out.log, "abs path"), 0) << out.log;
        EXPECT_EQ(tempFilesBeside(update), 0);
    }
}

// Code 1: the target is not the card the update file was made for. The
// stages may already have started; their temporary file goes all the same.
TEST_F(ApplyUpdateFileTest, TargetThatDoesNotMatchTheHeaderIsInvalidMedia) {
    struct Case {
        const char* name;
        std::function<void(const std::string& target, std::string& update)> prepare;
        std::string line;
        std::string reason;  // "" : the partition table's
    };
    const auto cutInsideRoot = [](const std::string& t, std::string&) {
        fs::resize_file(t, kRootOffset + kRootSize / 2);
    };
    const std::string target = dir.file("target.img");
    const Case cases[] = {
        {"mbr unreadable", [](const std::string& t, std::string&) { fs::resize_file(t, 100); },
         "target : first sector of " + target + " unreadable: the file ends before byte 512\n",
         "the first sector of " + target + " cannot be read: the file ends before byte 512"},
        {"no MBR signature", [](const std::string& t, std::string&) { xorByte(t, 511, 0xFF); },
         "target : no MBR signature in " + target + " (55 55)\n",
         target + " has no MBR signature (bytes 510-511 are 55 55, not 55 AA)"},
        {"root offset differs",
         [](const std::string& t, std::string&) { makeCard(t, kRootStart + 8, kRootCount, 1); },
         kJob + "invalid root offset 16384 20480 \n",
         "the card's root partition starts at byte 20480, the update file expects 16384"},
        {"root size differs",
         [](const std::string& t, std::string&) { makeCard(t, kRootStart, kRootCount + 8, 1); },
         kJob + "invalid root size 2097152 2101248 \n",
         "the card's root partition holds 2101248 bytes, the update file carries 2097152"},
        {"layout invalid", cutInsideRoot, kJob + "invalid root offset 16384 0 \n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshTarget("target.img");
        std::string upd = update;
        c.prepare(target, upd);
        const std::string before = digest(target);
        const Outcome out = runJob(upd, target);
        const std::string line =
            c.line.empty() ? kJob + "target invalid MBR " + target + "\n" : c.line;
        EXPECT_EQ(out.result, ResultInvalidMedia);
        EXPECT_TRUE(out.has(line)) << out.log;
        const std::string reason = c.reason.empty() ? "partition table is not that of" : c.reason;
        EXPECT_NE(out.reason.find(reason), std::string::npos) << out.reason;
        EXPECT_FALSE(out.success);
        EXPECT_EQ(tempFilesBeside(upd), 0);
        EXPECT_EQ(digest(target), before);
    }
}

TEST_F(ApplyUpdateFileTest, DamagedUpdateFileIsBroken) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
        std::string line;
        int progress;
        std::string reason;
    };
    const std::string invalidHeader = kJob + "invalid header fail\n";
    const std::string broken = dir.file("broken.bin");
    // The kinds of file that replace it.
    const auto replaceBy = [](int kind) {
        return [kind](const std::string& u) {
            fs::remove(u);
            ASSERT_TRUE(kind == 0 ? fs::create_directory(u)
                                  : testutil::makeSpecialFile(u, kind == 2));
        };
    };
    const auto kindReason = [&](const char* kind) {
        return broken + " is " + kind + ", not an update file";
    };
    std::vector<Case> cases = {
        {"header code", [](const std::string& u) { xorByte(u, 0, 0x20); }, invalidHeader, 0,
         "header code is wrong"},
        {"crc-protected start offset", [](const std::string& u) { xorByte(u, 30, 0x01); },
         invalidHeader, 0, "header is damaged: its CRC-32 is"},
        {"payload byte", [](const std::string& u) { xorByte(u, fs::file_size(u) - 1, 0x01); },
         kJob + "compress data hash invalid \n", 10, "its payload's SHA-256 is"},
        {"no payload",
         [](const std::string& u) { fs::resize_file(u, UpdateFile::kFixedHeaderSize); },
         kJob + "update file hash calc fail\n", 5,
         "the update file holds nothing from byte 104 on: it is 104 bytes long"},
        // Refused at once, before the free space is asked for.
        {"missing", [](const std::string& u) { fs::remove(u); },
         kJob + "update file " + broken + " does not exist\n", 0,
         broken + ": the update file does not exist"},
        {"directory", replaceBy(0), kJob + "update file " + broken + " is a directory\n", 0,
         kindReason("a directory")},
    };
#ifndef _WIN32
    cases.push_back({"FIFO without a writer", replaceBy(1),
                     kJob + "update file " + broken + " is a FIFO", 0,
                     kindReason("a FIFO (named pipe)")});
    cases.push_back({"socket", replaceBy(2), kJob + "update file " + broken + " is a socket\n", 0,
                     kindReason("a socket")});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = freshTarget("target.img");
        const std::string upd = freshUpdate("broken.bin");
        c.damage(upd);
        const Outcome out = runJob(upd, target);
        fs::remove_all(upd);
        EXPECT_EQ(out.result, ResultBrokenUpdateFile);
        EXPECT_EQ(out.progress, c.progress);
        EXPECT_TRUE(out.has(c.line)) << out.log;
        EXPECT_NE(out.reason.find(c.reason), std::string::npos) << out.reason;
        EXPECT_EQ(countOf(out.log, "free area"), c.reason.rfind(broken, 0) == 0 ? 0 : 1);
        EXPECT_EQ(tempFilesBeside(upd), 0);
        EXPECT_EQ(digest(target), untouched);
    }
}

// The digest is right but the payload is not the image the header promises.
TEST_F(ApplyUpdateFileTest, PayloadThatDoesNotInflateToTheRoot) {
    const std::vector<uint8_t> root = newRootBytes();
    std::vector<uint8_t> shorter(root.begin(), root.end() - kSector);
    std::vector<uint8_t> longer = root;
    longer.resize(root.size() + kSector, 0x5a);
    const std::vector<uint8_t> sound = deflateBytes(root);
    std::vector<uint8_t> truncated(sound.begin(), sound.begin() + sound.size() / 2);
    std::vector<uint8_t> corrupted = sound;
    corrupted[corrupted.size() / 2] ^= 0xff;
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        int code;
        std::string line;
        std::string reason;  // its start
    };
    const std::string damaged = "the update file's payload is damaged: ";
    const Case cases[] = {
        {"one sector short", deflateBytes(shorter), ResultTempFileSize,
         kJob + "decompress file size invalid 2096640 2097152 \n",
         "the payload unpacks to 2096640 bytes"},
        // Inflating stops at the promised size: no payload fills the disk.
        {"one sector long", deflateBytes(longer), ResultBrokenUpdateFile,
         "compress : output over 2097152 bytes\n" + kJob + "decompress fail \n",
         damaged + "it inflates past the 2097152 bytes its header gives"},
        {"stream cut in half", truncated, ResultBrokenUpdateFile, kJob + "decompress fail \n",
         damaged + "it ends before its zlib stream does"},
        {"stream corrupted", corrupted, ResultBrokenUpdateFile, kJob + "decompress fail \n",
         damaged},
        {"no zlib stream at all", testutil::patternBytes(5000, 3), ResultBrokenUpdateFile,
         kJob + "decompress fail \n", damaged + "incorrect header check"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = freshTarget("target.img");
        const std::string upd = dir.file("payload.bin");
        writeUpdateFile(upd, kRootOffset, kRootSize, c.payload);
        const Outcome out = runJob(upd, target);
        EXPECT_EQ(out.result, c.code);
        EXPECT_EQ(out.reason.rfind(c.reason, 0), 0u) << out.reason;
        EXPECT_EQ(out.progress, 10);
        EXPECT_TRUE(out.has(c.line)) << out.log;
        EXPECT_EQ(tempFilesBeside(upd), 0);
        EXPECT_EQ(digest(target), untouched);
    }
}

TEST_F(ApplyUpdateFileTest, VolumeOfTheUpdateFileDecidesBeforeAnythingIsRead) {
    struct Case {
        const char* name;
        std::function<void(fakeplatform::Volume&)> set;
        int code;
        std::string line;
        std::string folder = {};  // where the update file lies, below dir; "" for update
        std::string why = {};     // a part of the reason
    };
    // Five folders of 200 characters: a path longer than Windows allows.
    const std::string folder = std::string(199, 'd') + "/";
    const std::string deep = folder + folder + folder + folder + folder;
    const Case cases[] = {
        {"no absolute path", [](fakeplatform::Volume& v) { v.absolutePathFails = true; },
         ResultTempFileCreate, kJob + "_fullpath fail " + update + "\n"},
        {"free space unknown", [](fakeplatform::Volume& v) { v.freeSpaceFails = true; },
         ResultTempFileCreate, kJob + "GetDiskFreeSpaceExA fail "},
        {"nothing free", [](fakeplatform::Volume& v) { v.available = 0; }, ResultNoDiskSpace,
         kJob + "disk empty 4294967296 to 0\n"},
        {"one byte short", [](fakeplatform::Volume& v) { v.available = (1ull << 32) - 1; },
         ResultNoDiskSpace, kJob + "disk empty 4294967296 to 4294967295\n"},
        {"exactly 4 GiB", [](fakeplatform::Volume& v) { v.available = 1ull << 32; }, ResultNone,
         kJob + "free area 4096MiB 131072MiB 65536MiB\n"},
        {"temporary name one too long",
         [&](fakeplatform::Volume& v) {
             v.longestPath = fs::absolute(update).string().size() + 16;
         },
         ResultTempFileCreate, kJob + "temp path too long "},
#ifndef _WIN32
        {"a path of 1000 characters", [](fakeplatform::Volume&) {}, ResultNone,
         kJob + "update file abs path " + dir.file(deep), deep},
#else
        {"a path of 1000 characters", [](fakeplatform::Volume&) {}, ResultTempFileCreate,
         kJob + "_fullpath fail ", deep, "is longer than the 259 characters"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakeplatform::reset();
        c.set(fakeplatform::volume());
        const std::string target = freshTarget("target.img");
        std::string upd = update;
        if (!c.folder.empty()) {
            fs::create_directories(dir.file(c.folder));
            upd = fresh(update, c.folder + "update.bin");
        }
        const Outcome out = runJob(upd, target);
        EXPECT_EQ(out.result, c.code) << out.reason;
        EXPECT_TRUE(out.has(c.line)) << out.log;
        EXPECT_NE(out.reason.find(c.why), std::string::npos) << out.reason;
        EXPECT_EQ(tempFilesBeside(upd), 0);
        if (c.code == ResultNone) {
            EXPECT_TRUE(out.success);
            expectUpdated(target, newRoot);
        } else {
            EXPECT_EQ(out.progress, 0);
            EXPECT_EQ(countOf(out.log, "loadHeader"), 0) << out.log;
            EXPECT_EQ(digest(target), untouched);
        }
    }
}

// A header whose root no card can have is the file's damage, before any
// question of room (a size near 2^64 is no lack of disk space) or of the card.
TEST_F(ApplyUpdateFileTest, HeaderWithARootNoCardHasIsBroken) {
    const struct {
        uint64_t offset, size;
        const char* words;
    } cases[] = {
        {0, 0, "holds no bytes"},
        {kRootOffset, 0, "holds no bytes"},
        {kRootOffset + 1, kRootSize, "is not whole 512-byte sectors"},
        {kRootOffset, kRootSize - 1, "is not whole 512-byte sectors"},
        {0, kRootSize, "inside the MBR"},
        {kRootOffset, 0xFFFFFFFFFFFFFE00ull, "ends past the 35184372088832 bytes"},
        {1ull << 63, 1ull << 63, "ends past the"},
    };
    const std::string upd = dir.file("absurd.bin");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " " + std::to_string(c.size));
        const std::string target = freshTarget("target.img");
        writeUpdateFile(upd, c.offset, c.size, deflateBytes(newRootBytes()));
        const Outcome out = runJob(upd, target);
        EXPECT_EQ(out.result, ResultBrokenUpdateFile);
        EXPECT_NE(out.reason.find(c.words), std::string::npos) << out.reason;
        EXPECT_EQ(out.unpacked, 0u);
        EXPECT_EQ(tempFilesBeside(upd), 0);
        EXPECT_EQ(digest(target), untouched);
    }
}

// A job holds its image from the first look at it to its end: a second job
// on the same image meanwhile writes nothing and says who holds it (9).
TEST_F(ApplyUpdateFileTest, SecondJobOnAHeldImageIsRefused) {
    const std::string target = freshTarget("target.img");
    const std::string other = freshUpdate("other.bin");
    std::unique_ptr<ApplyUpdateFile> second;
    Hooks hooks;
    hooks.atFreeSpace = [&](ApplyUpdateFile&) {
        if (!second) {  // the second job asks for the free space too
            second = std::make_unique<ApplyUpdateFile>(other, target, "");
            second->create();
            second->join();
        }
    };
    const Outcome first = runJob(update, target, "", hooks);
    EXPECT_TRUE(first.success) << first.log;
    ASSERT_TRUE(second);
    EXPECT_EQ(second->getResult(), ResultCardInUse);
    EXPECT_EQ(second->getReason(), target +
                                       " is being written by another update or program, which "
                                       "holds it locked; nothing was written");
    EXPECT_EQ(second->getUnpackedBytes(), 0u);
    expectUpdated(target, newRoot);
    // Held no longer once the first has ended.
    const std::string again = freshTarget("again.img");
    EXPECT_TRUE(runJob(update, again).success);
}

// A root larger than the space beside the update file, or than the largest
// file its file system holds, is refused before any temporary file is written.
TEST_F(ApplyUpdateFileTest, RootThatCannotFitBesideTheUpdateFileIsRefusedBeforeUnpacking) {
    const std::string upd = dir.file("huge.bin");
    writeUpdateFile(upd, kRootOffset, (5ull << 30) + kSector, deflateBytes(newRootBytes()));
    for (const bool fat : {false, true}) {
        SCOPED_TRACE(fat ? "FAT32" : "too little space");
        fakeplatform::reset();
        fakeplatform::volume().available = fat ? 64ull << 30 : 5ull << 30;
        fakeplatform::volume().largestFile = fat ? 0xffffffffull : 0;
        const std::string target = freshTarget("target.img");
        const Outcome out = runJob(upd, target);
        EXPECT_EQ(out.result, fat ? ResultTempFileCreate : ResultNoDiskSpace);
        EXPECT_TRUE(out.has(fat ? kJob + "temp file 5368709632 over the largest file 4294967295"
                                : kJob + "disk empty 5368709632 to 5368709120\n"))
            << out.log;
        EXPECT_EQ(countOf(out.reason, "FAT"), fat ? 1 : 0) << out.reason;
        EXPECT_EQ(tempFilesBeside(upd), 0);
        EXPECT_EQ(digest(target), untouched);
    }
}

TEST_F(ApplyUpdateFileTest, StopWhilePausedBeforeTheStart) {
    const std::string target = freshTarget("target.img");
    Hooks hooks;
    hooks.beforeCreate = [](ApplyUpdateFile& job) { job.setPause(true); };
    hooks.whileRunning = [](ApplyUpdateFile& job) { job.requestStop(); };
    const Outcome out = runJob(update, target, "", hooks);
    EXPECT_EQ(out.result, ResultNone);
    EXPECT_EQ(out.progress, 0);
    EXPECT_FALSE(out.success);
    EXPECT_TRUE(out.has(kJob + "request stop 210\n")) << out.log;
    EXPECT_EQ(countOf(out.log, "abs path"), 0) << out.log;
    EXPECT_EQ(tempFilesBeside(update), 0);
    EXPECT_EQ(digest(target), untouched);
}

// Requested before the header is read, the stop is seen once both stages run.
TEST_F(ApplyUpdateFileTest, StopAfterTheTargetChecksSuspendsBothStages) {
    const std::string target = freshTarget("target.img");
    Hooks hooks;
    hooks.atFreeSpace = [](ApplyUpdateFile& job) { job.requestStop(); };
    const Outcome out = runJob(update, target, "", hooks);
    EXPECT_EQ(out.result, ResultNone);
    EXPECT_EQ(out.progress, 5);
    EXPECT_FALSE(out.success);
    EXPECT_TRUE(out.has(kJob + "request stop 418\n")) << out.log;
    EXPECT_EQ(tempFilesBeside(update), 0);
    EXPECT_EQ(digest(target), untouched);
}

// A pause set early is first honoured before the first copy chunk, which
// holds the copy at a known point with both files open.
class PausedCopyTest : public ApplyUpdateFileTest {
protected:
    static Hooks pauseBeforeCopy(std::function<void(ApplyUpdateFile&)> thenDo) {
        Hooks hooks;
        hooks.atFreeSpace = [](ApplyUpdateFile& job) { job.setPause(true); };
        hooks.whileRunning = [thenDo](ApplyUpdateFile& job) {
            waitFor([&] { return job.getProgress() == 15 || job.getResult() != ResultNone; });
            if (job.getProgress() != 15) {
                ADD_FAILURE() << "the copy never began";
                job.requestStop();  // so that the join cannot hang
                return;
            }
            thenDo(job);
        };
        return hooks;
    }
};

TEST_F(PausedCopyTest, StopEndsTheCopyWithoutCodeAndRemovesTheTempFile) {
    const std::string target = freshTarget("target.img");
    const Outcome out = runJob(update, target, "",
                               pauseBeforeCopy([](ApplyUpdateFile& job) { job.requestStop(); }));
    EXPECT_EQ(out.result, ResultNone);
    EXPECT_EQ(out.progress, 15);
    EXPECT_FALSE(out.success);
    EXPECT_TRUE(out.has(kJob + "request stop 157\n")) << out.log;
    EXPECT_TRUE(out.has(kJob + "overwrite file " + out.temp + " to " + target + " fail\n"))
        << out.log;
    EXPECT_EQ(tempFilesBeside(update), 0);
    EXPECT_EQ(digest(target), untouched);
}

TEST_F(PausedCopyTest, DestroyingThePausedJobStopsIt) {
    const std::string target = freshTarget("target.img");
    std::unique_ptr<ApplyUpdateFile> job;
    fakeplatform::volume().onFreeSpace = [&] { job->setPause(true); };
    const std::string log = testutil::captureLog([&] {
        job = std::make_unique<ApplyUpdateFile>(update, target, "");
        job->create();
        ASSERT_TRUE(waitFor([&] { return job->getProgress() == 15; }));
        job.reset();
    });
    EXPECT_EQ(countOf(log, kJob + "request stop 157\n"), 1) << log;
    EXPECT_EQ(tempFilesBeside(update), 0);
    EXPECT_EQ(digest(target), untouched);
}

// The window program's job as the end of the process reaches it from a
// thread of the system's: stopped at its next piece and waited for.
class JobWatchTest : public PausedCopyTest {
protected:
    // Watched and held by the pause: at its start, or before its first piece.
    ApplyUpdateFile* heldJob(const std::string& target, bool inCopy) {
        auto* job = new ApplyUpdateFile(update, target, "");
        fakeplatform::volume().onFreeSpace = [job] { job->setPause(true); };
        job->setPause(!inCopy);
        job->create();
        jobwatch::watch(*job);
        EXPECT_TRUE(!inCopy || waitFor([job] { return job->getProgress() == 15; }));
        return job;
    }
};

TEST_F(JobWatchTest, StopReleasesTheCardAndTheTemporaryFileBeforeItReturns) {
    const std::string target = freshTarget("target.img");
    const std::string log = testutil::captureLog([&] {
        ApplyUpdateFile* job = heldJob(target, true);
        EXPECT_TRUE(jobwatch::busy());
        EXPECT_TRUE(jobwatch::stop("closed", 5000));
        EXPECT_TRUE(jobwatch::stopped() && !jobwatch::busy());
        // Released while the stopped job still exists.
        EXPECT_EQ(tempFilesBeside(update), 0);
        ApplyUpdateFile again(update, target, "");
        again.create();
        again.join();
        EXPECT_TRUE(again.isSuccess()) << again.getReason();
        jobwatch::destroy(job);
        job = heldJob(target, false);
        EXPECT_FALSE(jobwatch::stop("late", 0));
        jobwatch::destroy(job);
    });
    EXPECT_EQ(countOf(log, "jobwatch : closed: the update stopped after ") +
                  countOf(log, "jobwatch : late: the update did not stop within 0 ms\n"),
              2)
        << log;
}

#ifdef _WIN32
// Ctrl+Break in the log console and a session end that can wait leave the
// update alone; a closed console (as a log-off, a shutdown) stops it first.
TEST_F(JobWatchTest, TheLogConsoleClosedStopsTheUpdateFirst) {
    testutil::captureLog([&] {
        ApplyUpdateFile* job = heldJob(freshTarget("target.img"), false);
        EXPECT_TRUE(jobwatch::onConsoleEvent(CTRL_BREAK_EVENT) &&
                    jobwatch::holdSessionEnd(nullptr));
        EXPECT_TRUE(job->isRunning());
        EXPECT_TRUE(jobwatch::onConsoleEvent(CTRL_CLOSE_EVENT));
        EXPECT_FALSE(job->isRunning() || jobwatch::holdSessionEnd(nullptr));
        jobwatch::destroy(job);
    });
}
#endif

// The temporary file cannot be read back: code 4, the target untouched.
TEST_F(ApplyUpdateFileTest, TempFileThatCannotBeReadIsCodeFour) {
    const std::string target = freshTarget("target.img");
    Hooks hooks;
    hooks.onCall = [](const faultinject::Call& c, ApplyUpdateFile&) {
        return c.op == fileops::Op::Read && endsWith(c.path, ".tmp") ? EIO : 0;
    };
    const Outcome out = runJob(update, target, "", hooks);
    EXPECT_EQ(out.result, ResultTempFileRead);
    EXPECT_EQ(out.progress, 15);
    EXPECT_TRUE(out.has(kCopy + "fread (2097152) error ")) << out.log;
    EXPECT_TRUE(out.has(kJob + "overwrite file " + out.temp + " to " + target + " fail\n"))
        << out.log;
    EXPECT_EQ(tempFilesBeside(update), 0);
    EXPECT_EQ(digest(target), untouched);
}

// A stop is seen in every phase: at a checkpoint, or by the running stage,
// which then ends within one chunk. Never a code, never a temporary file.
// The sleeps give the worker time to reach its next wait.
TEST_F(ApplyUpdateFileTest, StopIsSeenInEveryPhase) {
    using fileops::Op;
    struct Case {
        const char* name;
        Op op;               // the stop comes at the first such call
        const char* stream;  // on this stream (see streamOf)
        int progressBefore;  // once the job shows this
        std::vector<std::string> lines;
        // The checkpoints that may see it first: the judging of the pieces
        // while unpacking (158) races with the stages' own ends.
        std::vector<int> stops;
        int progress;
    };
    const Case cases[] = {
        {"while hashing", Op::Read, "hash", 5, {"hash : suspend\n"}, {158, 467}, 5},
        {"after hashing", Op::Close, "hash", 5, {}, {158, 467}, 10},
        {"while unpacking",
         Op::Write,
         "temp",
         10,
         {"compress : decompress suspend\n"},
         {158, 504},
         10},
        {"after unpacking", Op::Close, "compress", 10, {}, {158, 467, 504}, 10},
        {"while copying", Op::Write, "target", 15, {}, {157}, 27},
        // The close runs on the worker, which stores 84 only after it.
        {"after copying", Op::Close, "target", 15, {}, {160}, 84},
    };
    const Card card = makeCardAndUpdate("big", 49152);  // 24 MiB: 6 unpacking chunks, 6 pieces
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(card.target);
        makeCard(card.target, kRootStart, 49152, 11);
        bool stopped = false;  // set by one stage thread, read after the join
        std::chrono::steady_clock::time_point stopTime;
        Hooks hooks;
        hooks.onCall = [&](const faultinject::Call& call, ApplyUpdateFile& job) {
            if (call.op == c.op && streamOf(call, card.target) == c.stream && !stopped) {
                stopped = true;
                EXPECT_TRUE(waitFor([&] { return job.getProgress() >= c.progressBefore; }));
                sleepMs(200);  // for the worker to reach its next wait
                stopTime = std::chrono::steady_clock::now();
                job.requestStop();
            }
            return 0;
        };
        const Outcome out = runJob(card.update, card.target, "", hooks);
        ASSERT_TRUE(stopped);
        EXPECT_LT(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - stopTime).count(),
            2.0);
        EXPECT_EQ(out.result, ResultNone);
        EXPECT_FALSE(out.success);
        EXPECT_EQ(out.progress, c.progress);
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(out.has(line)) << line << out.log;
        }
        EXPECT_EQ(countOf(out.log, "request stop"), 1) << out.log;
        int seenAt = 0;
        for (const int at : c.stops) {
            seenAt += countOf(out.log, kJob + "request stop " + std::to_string(at) + "\n");
        }
        EXPECT_EQ(seenAt, 1) << out.log;
        expectCleanEnd(card, out, c.progress > 15);
    }
}

// Six 4 MiB pieces. The progress word and the log follow the pieces, and
// 100 with no code is never visible before the new root is on the target.
TEST_F(ApplyUpdateFileTest, CopiesTwentyFourMiBInSixPieces) {
    const uint32_t count = 49152;
    const uint64_t size = count * kSector;
    const std::string target = dir.file("big.img");
    const std::string source = dir.file("bignew.img");
    const std::string upd = dir.file("big.bin");
    makeCard(target, kRootStart, count, 3);
    makeCard(source, kRootStart, count, 4);
    ASSERT_TRUE(testutil::makeUpdateFile(source, upd));
    const Regions before = regions(target, kRootOffset, size);
    const std::string wanted = digest(source, kRootOffset, size);

    std::vector<int> seen;
    std::string rootAtHundred;
    Hooks hooks;
    hooks.whileRunning = [&](ApplyUpdateFile& job) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (std::chrono::steady_clock::now() < end) {
            const int progress = job.getProgress();
            const int result = job.getResult();
            if (seen.empty() || seen.back() != progress) {
                seen.push_back(progress);
            }
            if (progress >= 100 && result == ResultNone) {
                rootAtHundred = digest(target, kRootOffset, size);
                break;
            }
            if (result != ResultNone) {
                break;
            }
            std::this_thread::yield();
        }
    };
    const Outcome out = runJob(upd, target, "", hooks);
    EXPECT_EQ(out.result, ResultNone);
    EXPECT_EQ(out.progress, 100);
    EXPECT_TRUE(out.success);
    EXPECT_EQ(rootAtHundred, wanted);
    const std::vector<int> allowed = {0,  5,  10, 15, 27, 38, 50, 61, 73,
                                      84, 88, 90, 92, 95, 97, 99, 100};
    size_t next = 0;
    for (int p : seen) {
        while (next < allowed.size() && allowed[next] != p) {
            ++next;
        }
        EXPECT_LT(next, allowed.size()) << "unexpected or out-of-order progress " << p;
    }
    const size_t p33 = out.log.find(kCopy + "overwrite 33 %\n");
    const size_t p66 = out.log.find(kCopy + "overwrite 66 %\n");
    EXPECT_TRUE(p33 < p66 && p66 != std::string::npos) << out.log;
    EXPECT_EQ(countOf(out.log, kCopy + "overwrite "), 6) << out.log;
    EXPECT_EQ(tempFilesBeside(upd), 0);
    const Regions after = regions(target, kRootOffset, size);
    EXPECT_EQ(after.head, before.head);
    EXPECT_EQ(after.tail, before.tail);
    EXPECT_EQ(after.root, wanted);
}

// A card that already holds the update is neither written nor touched; one
// that differs only in its first or its last chunk is still written.
TEST_F(ApplyUpdateFileTest, CardThatHoldsTheUpdateIsUpToDateAndOthersAreWritten) {
    const Card c = makeCardAndUpdate("again", 16385);  // 8 MiB and a sector
    ASSERT_TRUE(runJob(c.update, c.target).success);
    const auto old = fs::last_write_time(c.target) - std::chrono::hours(1);
    fs::last_write_time(c.target, old);
    const std::string updated = digest(c.target);

    const Outcome again = runJob(c.update, c.target);
    EXPECT_EQ(again.result, ResultUpToDate);
    EXPECT_FALSE(again.success);
    EXPECT_LT(again.progress, 100);
    EXPECT_TRUE(again.has(kCopy + "target already holds the update\n")) << again.log;
    EXPECT_EQ(countOf(again.log, " fail"), 0) << again.log;
    EXPECT_EQ(digest(c.target), updated);
    EXPECT_TRUE(fs::last_write_time(c.target) == old);
    EXPECT_EQ(tempFilesBeside(c.update), 0);
    EXPECT_EQ(again.openStreams, 0);
    for (const faultinject::Call& call : again.calls) {
        EXPECT_FALSE(call.op == fileops::Op::Write && call.path == c.target);
    }

    for (const uint64_t at : {kRootOffset, kRootOffset + c.rootSize - 1}) {
        SCOPED_TRACE(at);
        xorByte(c.target, at, 0x40);
        const Outcome out = runJob(c.update, c.target);
        EXPECT_TRUE(out.success) << out.log;
        EXPECT_EQ(digest(c.target), updated);
    }
}

#ifndef _WIN32
// Limits the size of files this process writes, for as long as it lives.
// SIGXFSZ is ignored meanwhile, so a write past the limit fails with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(uint64_t bytes) {
        oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        if (::getrlimit(RLIMIT_FSIZE, &saved) != 0) {
            return;
        }
        rlimit limit = saved;
        limit.rlim_cur = static_cast<rlim_t>(bytes);
        active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;  // fails above the hard limit
    }
    ~FileSizeLimit() {
        if (active) {
            ::setrlimit(RLIMIT_FSIZE, &saved);
        }
        ::signal(SIGXFSZ, oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool isActive() const { return active; }

private:
    rlimit saved{};
    void (*oldHandler)(int) = SIG_DFL;
    bool active = false;
};
#endif

// One chunk and four sectors: after the first chunk the percentage formula
// already gives 100 while the last sectors sit unwritten in the stream
// buffer. The target refuses every byte past the first chunk, so only the
// last chunk's write or its flush fails; the owner must never see 100.
TEST_F(ApplyUpdateFileTest, ProgressStaysBelowHundredUntilTheDataIsOnTheTarget) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a per-process file size limit (setrlimit), which Windows lacks";
#else
    const uint32_t count = 16384 + 4;
    const std::string target = dir.file("over.img");
    const std::string source = dir.file("overnew.img");
    const std::string upd = dir.file("over.bin");
    makeCard(target, kRootStart, count, 9);
    makeCard(source, kRootStart, count, 10);
    ASSERT_TRUE(testutil::makeUpdateFile(source, upd));
    const std::string before = digest(target, kRootOffset + (2 * RootCopy::kPiece));

    bool sawHundred = false;
    Hooks hooks;
    hooks.whileRunning = [&](ApplyUpdateFile& job) {
        waitFor([&] {
            sawHundred = sawHundred || job.getProgress() >= 100;
            return job.getResult() != ResultNone || sawHundred;
        });
    };
    Outcome out;
    {
        // Every other file the job writes (the temporary file, the log)
        // stays below this size.
        FileSizeLimit limit(kRootOffset + (2 * RootCopy::kPiece));
        if (!limit.isActive()) {
            GTEST_SKIP() << "the file size limit cannot be set here";
        }
        out = runJob(upd, target, "", hooks);
    }
    EXPECT_EQ(out.result, ResultWriteFailed);
    EXPECT_EQ(out.progress, ApplyUpdateFile::kCopyEnd);
    EXPECT_FALSE(sawHundred);
    EXPECT_FALSE(out.success);
    EXPECT_TRUE(out.has(kJob + "overwrite file " + out.temp + " to " + target + " fail\n"))
        << out.log;
    EXPECT_FALSE(out.has(kJob + "apply success\n"));
    EXPECT_EQ(tempFilesBeside(upd), 0);
    EXPECT_EQ(digest(target, kRootOffset, (2 * RootCopy::kPiece)),
              digest(source, kRootOffset, (2 * RootCopy::kPiece)));
    EXPECT_EQ(digest(target, kRootOffset + (2 * RootCopy::kPiece)), before);
#endif
}

// Device targets: the MBR comes through the raw-storage calls, the copy
// writes the path the owner gave.
class DeviceTargetTest : public ApplyUpdateFileTest {
protected:
    void addCard(const std::string& backing, uint32_t partitionStyle = 0, bool readFails = false) {
        fakeplatform::Disk disk;
        disk.backingFile = backing;
        disk.partitionStyle = partitionStyle;
        disk.readFails = readFails;
        fakeplatform::addDrive('E', disk);
    }
};

// A root entry the update may not write, as an image and as the card behind
// a drive (the window's way): code 1, the entry named, nothing written.
TEST_F(DeviceTargetTest, RootEntryOfAnotherKindOrOverlappedIsInvalidMedia) {
    const struct {
        uint8_t type;
        testutil::Entry other;  // entry 2
        const char* words;
    } cases[] = {
        {0x00, {}, "has type 00: the entry is empty"},
        {0x05, {}, "has type 05: it is an extended partition"},
        {0x0F, {}, "has type 0F"},
        {0x85, {}, "has type 85"},
        {0xEE, {}, "has type EE: it protects a GUID partition table"},
        {0x83, {kRootStart + 8, 64}, "partition 2 (sectors 40 to 104) overlaps partition 1"},
        {0x83, {kRootStart + kRootCount - 1, 64, 0x0c}, "partition 2 (sectors 4127 to 4191)"},
    };
    for (const auto& c : cases) {
        for (const char* drive : {"", "E:"}) {
            SCOPED_TRACE(std::string(c.words) + (*drive != '\0' ? " on a drive" : " on an image"));
            fakeplatform::reset();
            const std::string card = dir.file("entries.img");
            std::vector<testutil::Entry> entries = {{8, 24}, {kRootStart, kRootCount, c.type}};
            if (c.other.count != 0) {
                entries.push_back(c.other);
            }
            testutil::makeCardImage(card, entries, (kRootStart + kRootCount + 128) * kSector, 1);
            const std::string before = digest(card);
            addCard(card);
            const Outcome out = runJob(update, card, drive);
            EXPECT_EQ(out.result, ResultInvalidMedia);
            EXPECT_NE(out.reason.find(c.words), std::string::npos) << out.reason;
            EXPECT_EQ(digest(card), before);
            EXPECT_EQ(tempFilesBeside(update), 0);
        }
    }
}

// A card whose only written bytes are its MBR and its root partition, so
// that it may lie past 4 GiB and cost nothing on the disk.
void makeSparseCard(const std::string& path, uint32_t rootStart, uint32_t rootCount,
                    uint32_t seed) {
    const uint64_t end = (uint64_t{rootStart} + rootCount + 64) * kSector;
    testutil::writeFile(path, testutil::makeMbr({{8, 24, 0x0c, 0x80}, {rootStart, rootCount}}));
    fs::resize_file(path, end);
    const std::vector<uint8_t> root = testutil::patternBytes(rootCount * kSector, seed);
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(static_cast<std::streamoff>(rootStart * kSector))
        .write(reinterpret_cast<const char*>(root.data()),
               static_cast<std::streamsize>(root.size()));
}

// The root is written whole and nothing beside it: with a last piece of a
// single sector, and past 2 GiB, where a 32-bit file offset would wrap.
TEST_F(DeviceTargetTest, WritesTheRootIncludingAShortLastChunk) {
    struct Case {
        const char* name;
        uint32_t start, count;
        bool sparse;
    };
    const Case cases[] = {
        {"8 MiB and one sector", kRootStart, 16385, false},
        {"past 2 GiB", (2u << 21) + kRootStart, kRootCount, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakeplatform::reset();
        const std::string target = dir.file("dev.img");
        const std::string source = dir.file("devnew.img");
        const std::string upd = dir.file("dev.bin");
        fs::remove(target);
        fs::remove(source);
        (c.sparse ? makeSparseCard : makeCard)(target, c.start, c.count, 5);
        (c.sparse ? makeSparseCard : makeCard)(source, c.start, c.count, 6);
        ASSERT_TRUE(testutil::makeUpdateFile(source, upd));
        const uint64_t offset = c.start * kSector, size = c.count * kSector;
        // What lies before the root: the MBR and up to 8 MiB next to it.
        const uint64_t near = offset < (8u << 20) ? offset : (8u << 20);
        const auto outside = [&] {
            return digest(target, 0, kSector) + digest(target, offset - near, near) +
                   digest(target, offset + size);
        };
        const std::string before = outside();
        addCard(target);
        const Outcome out = runJob(upd, target, "E:");
        EXPECT_EQ(out.result, ResultNone) << out.log;
        EXPECT_TRUE(out.success);
        EXPECT_TRUE(out.has(" target device\n")) << out.log;
        EXPECT_EQ(fakeplatform::openHandles(), 0);
        EXPECT_EQ(outside(), before);
        EXPECT_EQ(digest(target, offset, size), digest(source, offset, size));
    }
}

// The owner passes the drive's physical path, which is no file; the copy
// reaches the card behind it through the raw-storage calls.
TEST_F(DeviceTargetTest, CopyWritesTheCardBehindThePhysicalDrivePath) {
    const std::string backing = freshTarget("dev.img");
    addCard(backing);
    const Outcome out = runJob(update, "\\\\.\\PHYSICALDRIVE1", "E:");
    EXPECT_EQ(out.result, ResultNone) << out.log;
    EXPECT_EQ(out.progress, 100);
    EXPECT_TRUE(out.success);
    EXPECT_EQ(fakeplatform::openHandles(), 0);
    expectUpdated(backing, newRoot);
}

// A card that cannot be read is not known to be another card: code 12.
TEST_F(DeviceTargetTest, CardThatCannotBeReadOrIsNotMbrIsRefused) {
    const std::string target = freshTarget("dev.img");
    for (const bool gpt : {false, true}) {
        SCOPED_TRACE(gpt ? "gpt" : "read fails");
        fakeplatform::reset();
        addCard(target, gpt ? 1 : 0, !gpt);
        const Outcome out = runJob(update, target, "E:");
        EXPECT_EQ(out.result, gpt ? ResultInvalidMedia : ResultCardUnreadable);
        EXPECT_EQ(out.has(kJob + "invalid root offset 16384 0 \n"), gpt) << out.log;
        EXPECT_EQ(tempFilesBeside(update), 0);
        EXPECT_EQ(fakeplatform::openHandles(), 0);
        EXPECT_EQ(digest(target), untouched);
    }
}

// What a card and Windows do between the check and the last write. Each row
// changes one thing of a good card; the card then holds either its old root
// (nothing written) or the new one, and never anything outside the root.
TEST_F(DeviceTargetTest, CardFaultsEndWithTheirCodeAndTheRightBytes) {
    const Card card = makeCardAndUpdate("fault", 16385);  // three pieces
    const std::string other = dir.file("other.img");
    const fakeplatform::Disk::Volume root{kRootOffset, card.rootSize, true, 0};
    const auto heldForGood = [&](fakeplatform::Disk& d) {
        d.volumes = {root}, d.volumes[0].lockRefusals = -1;
    };
    struct Case {
        const char* name;
        std::function<void(fakeplatform::Disk&)> change;
        int code;
        const char* line;    // in the log
        const char* reason;  // begins the reason
        bool updated;        // the card holds the new root
        int locksHeld = 0;   // volume locks held while the root is read back
        bool unpacks = true;
        bool stopWhileLocking = false;  // a stop comes while a refused lock is tried again
    };
    const Case cases[] = {
        {"write-protected", [](fakeplatform::Disk& d) { d.writeProtected = true; },
         ResultWriteProtected, "is write-protected\n", "the card is write-protected", false, 0,
         false},
        {"write-protected, told only by refusing the first write",
         [](fakeplatform::Disk& d) { d.writeProtectSilent = true; }, ResultWriteProtected,
         "fwrite (4194304) error the media is write protected\n",
         "the card is write-protected (its LOCK switch): the first write was refused", false},
        {"root volume held open for good", heldForGood, ResultCardInUse,
         "over the root stays in use", "a volume of the card over its root", false},
        {"root volume held open for a moment",
         [&](fakeplatform::Disk& d) { d.volumes = {root}, d.volumes[0].lockRefusals = 3; },
         ResultNone, "locked and dismounted \\\\?\\Volume{E-1}\n", "", true, 2},
        {"root volume refuses its dismount",
         [&](fakeplatform::Disk& d) { d.volumes = {root}, d.dismountRefused = true; },
         ResultCardInUse, "over the root stays in use: the volume cannot be dismounted\n",
         "a volume of the card over its root partition is in use by another program (the "
         "volume cannot be dismounted)",
         false},
        {"stopped while the root volume is held open", heldForGood, ResultNone,
         "request stop 159\n", "", false, 0, true, true},
        {"the letter's own volume refuses its lock",
         [](fakeplatform::Disk& d) { d.lockRefused = true; }, ResultNone,
         "lies outside the root partition; the update goes on\n", "", true},
        {"pulled out after the first piece", [](fakeplatform::Disk& d) { d.goneAfterWrites = 1; },
         ResultWriteFailed, "fwrite (4194304) error the device is gone\n",
         "the card was removed during the update, at byte 4194304", false},
        {"data never reaches the card", [](fakeplatform::Disk& d) { d.flushFails = true; },
         ResultWriteFailed, "sync error the device did not take the data\n",
         "the card did not take the written data", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakeplatform::reset();
        fs::remove(card.target);
        makeCard(card.target, kRootStart, 16385, 11);
        fakeplatform::Disk disk;
        disk.backingFile = card.target;
        c.change(disk);
        fakeplatform::addDrive('E', disk);
        Hooks hooks;
        hooks.lockPatienceMs = c.stopWhileLocking ? DriveTarget::kLockPatienceMs : 300;
        if (c.stopWhileLocking) {  // unseen, the lock would be tried for 15 s: code 9
            hooks.whileRunning = [&](ApplyUpdateFile& job) {
                EXPECT_TRUE(waitFor([] { return fakeplatform::lockCalls() > 1; }));
                job.requestStop();
            };
        }
        // The read-back: whatever is read once the root is written in full.
        const ApplyUpdateFile* running = nullptr;
        std::vector<int> locksAtReadBack;
        hooks.beforeCreate = [&](ApplyUpdateFile& job) { running = &job; };
        fakeplatform::onRead() = [&] {
            if (running->getWritten() == ApplyUpdateFile::Written::All) {
                locksAtReadBack.push_back(fakeplatform::heldLocks());
            }
        };
        const Outcome out = runJob(card.update, "", "E:", hooks);
        EXPECT_EQ(out.result, c.code) << out.log;
        EXPECT_EQ(out.success, c.updated);
        EXPECT_TRUE(out.has(c.line)) << out.log;
        EXPECT_EQ(out.reason.compare(0, std::strlen(c.reason), c.reason), 0) << out.reason;
        EXPECT_LT(out.progress, c.code == ResultNone ? 101 : 100);
        EXPECT_EQ(out.unpacked != 0, c.unpacks);  // the reported switch is seen first
        EXPECT_EQ(fakeplatform::refusedWrites(), 0);
        EXPECT_EQ(locksAtReadBack.empty(), !c.updated);
        for (const int held : locksAtReadBack) {
            EXPECT_EQ(held, c.locksHeld);
        }
        expectCleanEnd(card, out, c.updated || c.code == ResultWriteFailed);
        if (!c.updated && c.code != ResultWriteFailed) {
            EXPECT_EQ(countOf(out.log, "overwrite 50 %"), 0) << out.log;
        }
    }
}

// The map of the pieces that differ, a card a row: exactly the pieces that
// differ are written, each read before the writing at most once (twice only
// once a file system was taken off the root, which may have flushed onto
// it), exactly the written ones read back after the last write, and nothing
// outside the root changed.
TEST_F(DeviceTargetTest, WritesAndReadsBackOnlyThePiecesThatDiffer) {
    constexpr uint64_t kPiece = RootCopy::kPiece;
    const uint32_t count = 49152 + 1;  // six pieces and a sector
    const uint64_t size = count * kSector;
    const std::string source = dir.file("pieces-new.img");
    const std::string upd = dir.file("pieces.bin");
    const std::string card = dir.file("pieces.img");
    makeCard(source, kRootStart, count, 21);
    ASSERT_TRUE(testutil::makeUpdateFile(source, upd));
    const std::string wanted = digest(source, kRootOffset, size);
    struct Case {
        const char* name;
        std::vector<uint64_t> changed;  // bytes of the root that differ from the update
        uint64_t written;
        int64_t flushesAt = -1;  // the root's file system writes this byte as it goes
    };
    const Case cases[] = {
        {"equal everywhere", {}, 0},
        {"first byte of the first piece", {0}, kPiece},
        {"past the head of the third piece", {2 * kPiece + RootCopy::kPieceHead + 7}, kPiece},
        {"the last sector alone", {size - 1}, kSector},
        {"cut short after two pieces",
         {2 * kPiece, 3 * kPiece, 4 * kPiece, 5 * kPiece, 6 * kPiece},
         4 * kPiece + kSector},
        {"a file system taken off the root after judging",
         {size - 1},
         kPiece + kSector,
         static_cast<int64_t>(kRootOffset + 9)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakeplatform::reset();
        fs::remove(card);  // MinGW's copy_file does not overwrite
        fs::copy_file(source, card);
        const Regions before = regions(card, kRootOffset, size);
        {
            std::fstream f(card, std::ios::in | std::ios::out | std::ios::binary);
            for (const uint64_t at : c.changed) {
                f.seekp(static_cast<std::streamoff>(kRootOffset + at));
                f.put('\x5a');
            }
        }
        fakeplatform::Disk disk;
        disk.backingFile = card;
        if (c.flushesAt >= 0) {
            disk.volumes = {{kRootOffset, size, true, 0, c.flushesAt}};
        }
        fakeplatform::addDrive('E', disk);
        Hooks hooks;
        hooks.lockPatienceMs = 300;
        const Outcome out = runJob(upd, "", "E:", hooks);
        EXPECT_EQ(out.result, c.written == 0 ? ResultUpToDate : ResultNone) << out.log;
        EXPECT_EQ(out.written, c.written);
        uint64_t writes = 0, readBefore = 0, readAfter = 0;
        std::vector<std::pair<uint64_t, uint32_t>> wrote, readBack;
        for (const fakeplatform::Io& io : fakeplatform::diskIo()) {
            if (io.offset < kRootOffset) {
                continue;  // the partition table
            }
            EXPECT_LE(io.offset + io.length, kRootOffset + size);
            if (io.write) {
                wrote.emplace_back(io.offset, io.length);
                writes += io.length;
                readBack.clear();  // what is read back comes after the last write
                readAfter = 0;
            } else if (wrote.empty()) {
                readBefore += io.length;
            } else {
                readBack.emplace_back(io.offset, io.length);
                readAfter += io.length;
            }
        }
        EXPECT_EQ(writes, c.written);
        EXPECT_EQ(readBack, wrote);
        EXPECT_EQ(readAfter, c.written);
        if (c.flushesAt < 0) {
            EXPECT_LE(readBefore, size);
        } else {
            EXPECT_GT(readBefore, size);
        }
        const Regions after = regions(card, kRootOffset, size);
        EXPECT_EQ(after.root, wanted);
        EXPECT_EQ(after.head, before.head);
        EXPECT_EQ(after.tail, before.tail);
    }
}

// The held handle names the reader, not the card. Another disk takes the
// card's number, or the card in the slot changes: the held card is written
// in full and read back, or nothing is written and the card is unchanged.
TEST_F(DeviceTargetTest, CardIsHeldFromTheCheckToTheReadBack) {
    const Card card = makeCardAndUpdate("held", 4096);
    const std::string other = dir.file("other.img");
    struct Case {
        const char* name;
        std::function<void()> change;
        fileops::Op at;  // on the first such call on the temporary file
        int code;
        const char* reason;  // begins it
        bool written;        // the card holds the new root
    };
    // The unpacking's first write into the temporary file: the card was
    // checked, nothing is written yet. Its close: the copy is done.
    const Case cases[] = {
        {"another disk takes the number", [&] { fakeplatform::renumber('E', other); },
         fileops::Op::Write, ResultNone, "", true},
        {"partition table changed", [&] { xorByte(card.target, 100, 0x01); }, fileops::Op::Write,
         ResultCardUnreadable, "the card's partition table or size changed after it was checked",
         false},
        {"swapped for a card of the same image", [&] { fakeplatform::replaceCard('E', other); },
         fileops::Op::Write, ResultCardUnreadable,
         "the card was removed or replaced after it was checked; nothing was written", false},
        {"pulled out before the first write", [] { fakeplatform::pullCard('E'); },
         fileops::Op::Write, ResultCardUnreadable,
         "the card was removed at byte 0 of the root partition, before anything was written",
         false},
        {"swapped before the read-back", [&] { fakeplatform::replaceCard('E', other); },
         fileops::Op::Close, ResultWriteFailed,
         "the card was removed or replaced while it was "
         "written",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakeplatform::reset();
        fs::remove(card.target);
        makeCard(card.target, kRootStart, 4096, 11);
        fs::remove(other);
        fs::copy_file(card.target, other);
        const std::string otherBefore = digest(other);
        fakeplatform::Disk disk;
        disk.backingFile = card.target;
        fakeplatform::addDrive('E', disk);
        Hooks hooks;
        bool changed = false;  // by the worker, read after the join
        hooks.onCall = [&](const faultinject::Call& call, ApplyUpdateFile&) {
            if (!changed && call.op == c.at && endsWith(call.path, ".tmp")) {
                changed = true;
                c.change();
            }
            return 0;
        };
        const Outcome out = runJob(card.update, "", "E:", hooks);
        EXPECT_TRUE(changed);
        EXPECT_EQ(out.result, c.code) << out.log;
        EXPECT_EQ(out.success, c.code == ResultNone);
        EXPECT_EQ(out.reason.compare(0, std::strlen(c.reason), c.reason), 0) << out.reason;
        EXPECT_EQ(digest(other), otherBefore);
        EXPECT_EQ(digest(card.target, kRootOffset, card.rootSize),
                  c.written ? card.newRoot : card.before.root);
        EXPECT_EQ(tempFilesBeside(card.update), 0);
        EXPECT_EQ(fakeplatform::openHandles(), 0);
    }
}

}  // namespace

// The MBR matches the update file, but the root would reach past the medium
// or cover the MBR or partition 0: refused before anything is unpacked.
TEST_F(DeviceTargetTest, RootThatDoesNotFitTheMediumIsRefusedBeforeUnpacking) {
    const std::vector<uint8_t> payload = deflateBytes(newRootBytes());
    const uint64_t rootEnd = (kRootStart + kRootCount) * kSector;
    struct Case {
        const char* name;
        std::vector<testutil::Entry> entries;
        uint64_t diskSize;
        std::string line;  // "" = success
    };
    const Case cases[] = {
        {"medium one sector short",
         {{8, 24}, {kRootStart, kRootCount}},
         rootEnd - kSector,
         kJob + "root partition ends at 2113536 beyond the medium 2113024\n"},
        {"root over partition 0",
         {{8, 40}, {kRootStart, kRootCount}},
         rootEnd,
         kJob + "root partition overlaps sector 0 or partition 0 (32 - 4128)\n"},
        {"root over the MBR",
         {{4200, 8}, {0, kRootCount}},
         4208 * kSector,
         kJob + "root partition overlaps sector 0 or partition 0 (0 - 4096)\n"},
        {"medium exactly as long", {{8, 24}, {kRootStart, kRootCount}}, rootEnd, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakeplatform::reset();
        const std::string card = dir.file("fit.img");
        const std::string upd = dir.file("fit.bin");
        testutil::makeCardImage(card, c.entries, rootEnd + (64 << 10), 1);
        writeUpdateFile(upd, c.entries[1].start * kSector, kRootSize, payload);
        const std::string before = digest(card);
        fakeplatform::Disk disk;
        disk.backingFile = card;
        disk.diskSize = c.diskSize;
        fakeplatform::addDrive('E', disk);
        const Outcome out = runJob(upd, card, "E:");
        EXPECT_EQ(tempFilesBeside(upd), 0);
        if (c.diskSize < rootEnd) {
            EXPECT_EQ(out.reason,
                      "the card is 2113024 bytes, the root partition would end at "
                      "byte 2113536");
        }
        if (c.line.empty()) {
            EXPECT_TRUE(out.success) << out.log;
            continue;
        }
        EXPECT_EQ(out.result, ResultInvalidMedia);
        EXPECT_TRUE(out.has(c.line)) << out.log;
        EXPECT_EQ(countOf(out.log, "loadHeader"), 0) << out.log;
        EXPECT_EQ(digest(card), before);
    }
}

// Descriptors this process holds; -1 where they cannot be counted.
int openDescriptors() {
#ifdef _WIN32
    return -1;
#else
    std::error_code ec;
    int n = 0;
    for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
        ++n;
    }
    return ec ? -1 : n;
#endif
}

// The code that the failure table gives for the nth failed stream call.
int expectedCode(fileops::Op op, const std::string& stream, int n) {
    using fileops::Op;
    if (op == Op::Open) {
        return ResultNoResources;  // EMFILE: the system's, whatever the file
    }
    if (stream == "target") {
        return op == Op::Read && n == 1 ? ResultInvalidMedia : ResultWriteFailed;  // the MBR's
    }
    if (op == Op::Close) {
        return ResultNone;  // a stream only read from: nothing can be lost
    }
    if (stream == "temp") {
        return op == Op::Read || op == Op::Seek ? ResultTempFileRead : ResultTempFileCreate;
    }
    return ResultBrokenUpdateFile;  // the update file, read by one stage or another
}

// Every stream call of a whole update fails in turn, then the volumes of the
// temporary file and of the target fill up: each run ends with the code of
// the call that failed and leaves nothing behind.
TEST_F(ApplyUpdateFileTest, EveryFailingStreamCallEndsAsTheTablePromises) {
    using fileops::Op;
    const Card card = makeCardAndUpdate("matrix", 16385);  // 8 MiB and a sector
    const auto run = [&](const Hooks& hooks) {
        fs::remove(card.target);
        makeCard(card.target, kRootStart, 16385, 11);
        return runJob(card.update, card.target, "", hooks);
    };
    // Counted per kind and stream, the calls come in a fixed order, though
    // the hashing and the unpacking run at the same time.
    std::map<std::pair<Op, std::string>, int> calls;
    const Outcome clean = run({});
    ASSERT_TRUE(clean.success);
    for (const faultinject::Call& c : clean.calls) {
        ++calls[{c.op, streamOf(c, card.target)}];
    }
    const int descriptors = openDescriptors();
    std::map<int, int> outcomes;
    const auto expectOutcome = [&](const Outcome& out, int expected, bool copyBegan) {
        EXPECT_EQ(out.result, expected) << out.log;
        EXPECT_EQ(out.success, expected == ResultNone) << out.log;
        EXPECT_EQ(countOf(out.log, "apply success"), expected == ResultNone ? 1 : 0);
        // Every failure says why in words; success says nothing.
        EXPECT_EQ(out.reason.empty(), expected == ResultNone) << out.reason;
        if (out.fired && expected != ResultNone) {  // in the system's words
            EXPECT_NE(out.reason.find(std::strerror(out.failed.op == Op::Open ? EMFILE : EIO)),
                      std::string::npos)
                << out.reason;
        }
        expectCleanEnd(card, out, copyBegan);
        EXPECT_EQ(openDescriptors(), descriptors);
        ++outcomes[out.result];
    };
    for (const auto& kind : calls) {
        const Op op = kind.first.first;
        const std::string stream = kind.first.second;
        for (int n = 1; n <= kind.second; ++n) {
            SCOPED_TRACE(std::string(faultinject::opName(op)) + " #" + std::to_string(n) + " on " +
                         stream);
            Hooks hooks;
            hooks.arm = [&](faultinject::Injector& injector) {
                injector.failNth(
                    op, n,
                    [&](const faultinject::Call& c) { return streamOf(c, card.target) == stream; },
                    op == Op::Open ? EMFILE : EIO);
            };
            const Outcome out = run(hooks);
            ASSERT_TRUE(out.fired);
            const int expected = expectedCode(op, stream, n);
            expectOutcome(out, expected, stream == "target" || expected == ResultTempFileRead);
        }
    }
    for (const char* stream : {"temp", "target"}) {
        SCOPED_TRACE(std::string("full volume of the ") + stream);
        uint64_t written = 0;  // one stream, written by one thread
        Hooks hooks;
        hooks.onCall = [&](const faultinject::Call& c, ApplyUpdateFile&) {
            // Only the full volume's own stream fails: the hashing thread may
            // still be reading the update file, which lies elsewhere.
            if (streamOf(c, card.target) != stream) {
                return 0;
            }
            if (c.op == Op::Write) {
                written += c.bytes;
            }
            return written > (6u << 20) ? ENOSPC : 0;
        };
        const Outcome out = run(hooks);
        expectOutcome(out, expectedCode(Op::Write, stream, 1), true);
        EXPECT_EQ(countOf(out.reason, std::string("is full: ") + std::strerror(ENOSPC)),
                  stream == std::string("temp") ? 1 : 0)
            << out.reason;
    }
    {
        SCOPED_TRACE("read-only image");
        Hooks hooks;
        hooks.onCall = [&](const faultinject::Call& c, ApplyUpdateFile&) {
            return c.op == Op::Open && c.path == card.target ? EROFS : 0;
        };
        const Outcome out = run(hooks);
        expectOutcome(out, ResultWriteProtected, false);
        EXPECT_EQ(out.reason, card.target + " cannot be written: " + std::strerror(EROFS) +
                                  "; nothing was written");
        EXPECT_EQ(out.unpacked, 0u);  // found before the unpacking, which never began
        for (const faultinject::Call& c : out.calls) {
            EXPECT_NE(streamOf(c, card.target), "temp");
        }
    }
    std::string figures;
    for (const auto& o : outcomes) {
        figures += " code " + std::to_string(o.first) + ": " + std::to_string(o.second) + ";";
    }
    std::fprintf(stderr, "fault matrix: %zu kinds of call;%s\n", calls.size(), figures.c_str());
}

// The update file changes, or is cut short, after the hash stage verified it
// and before the decompression reads it: nothing unverified reaches the target.
TEST_F(ApplyUpdateFileTest, UpdateFileChangedWhileTheJobRunsIsNeverWritten) {
    const std::string otherCard = dir.file("other.img");
    const std::string otherUpdate = dir.file("other.bin");
    makeCard(otherCard, kRootStart, kRootCount, 7);
    ASSERT_TRUE(testutil::makeUpdateFile(otherCard, otherUpdate));
    const auto replace = [&](const std::string& u) {
        // In place, so that the decompression's open stream sees it.
        const std::vector<uint8_t> bytes = testutil::readFile(otherUpdate);
        FILE* f = std::fopen(u.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
        fs::resize_file(u, bytes.size());
    };
    const auto cut = [](const std::string& u) { fs::resize_file(u, fs::file_size(u) / 2); };
    // The same size, and bytes that zlib refuses: not a damaged payload, for
    // it is not the one that was verified.
    const auto scramble = [](const std::string& u) {
        for (uint64_t at = fs::file_size(u) / 2; at < fs::file_size(u) / 2 + 64; ++at) {
            xorByte(u, at, 0x5a);
        }
    };
    // Another file takes the name, as a browser's finished download does.
    // Windows replaces no file that a stream holds open: then nothing changed.
    bool renamedOver = true;
    const auto renamed = [&](const std::string& u) {
        const std::string next = u + ".next";
        fs::copy_file(otherUpdate, next);
        std::error_code ec;
        fs::rename(next, u, ec);
        renamedOver = !ec;
        fs::remove(next, ec);
    };
    const std::string changedWhile = "the update file changed while it was being read";
    const struct {
        const char* name;
        std::function<void(const std::string&)> change;
        std::string stage = "compress";  // changed at its first read
        fileops::Op op = fileops::Op::Read;
        std::string reason = {};  // its start; "" for changedWhile
        std::string line = {};    // "" for the unpacking's or the hashing's
    } cases[] = {{"replaced", replace},
                 {"cut", cut},
                 {"scrambled", scramble},
                 {"cut while it is hashed", cut, "hash"},
                 {"renamed over before it is hashed", renamed, "hash", fileops::Op::Open,
                  "the update file " + dir.file("changing.bin") + " was replaced while it was read",
                  " replaced before hash\n"},
                 {"renamed over before it is unpacked", renamed, "compress", fileops::Op::Open,
                  "the update file " + dir.file("changing.bin") + " was replaced while it was read",
                  " replaced before compress\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = freshTarget("target.img");
        const std::string upd = freshUpdate("changing.bin");
        bool changed = false;  // by the decompression thread, read after the join
        Hooks hooks;
        hooks.onCall = [&](const faultinject::Call& call, ApplyUpdateFile& job) {
            if (call.op == c.op && call.user == c.stage && !changed) {
                if (c.stage == "compress" && c.op == fileops::Op::Read) {
                    waitFor([&] { return job.getProgress() >= 10; });  // the digest matched
                }
                c.change(upd);
                changed = true;
            }
            return 0;
        };
        renamedOver = true;
        const Outcome out = runJob(upd, target, "", hooks);
        EXPECT_TRUE(changed);
        if (!renamedOver) {
            EXPECT_TRUE(out.success) << out.log;
            continue;
        }
        EXPECT_EQ(out.result, ResultBrokenUpdateFile);
        EXPECT_EQ(out.reason.rfind(c.reason.empty() ? changedWhile : c.reason, 0), 0u)
            << out.reason;
        EXPECT_NE(
            out.log.find(!c.line.empty()     ? c.line
                         : c.stage == "hash" ? kJob + "update file hash calc fail\n"
                                             : kJob + "update file changed while unpacking \n"),
            std::string::npos)
            << out.log;
        EXPECT_EQ(digest(target), untouched);
        EXPECT_EQ(tempFilesBeside(upd), 0);
    }
}

// Stops and pauses at random moments, repeatable by seed: the job ends soon
// after the stop, without a code, and leaves nothing behind.
TEST_F(ApplyUpdateFileTest, StopsAndPausesAtRandomMomentsEndCleanly) {
    const uint32_t count = 32768;  // 16 MiB
    const Card card = makeCardAndUpdate("random", count);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(runJob(card.update, card.target).success);
    const auto whole = std::chrono::steady_clock::now() - start;
    const int wholeMs =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(whole).count());
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> delay(0, wholeMs);
        fs::remove(card.target);
        makeCard(card.target, kRootStart, count, 11);
        double stopToEnd = 0;
        Hooks hooks;
        hooks.whileRunning = [&](ApplyUpdateFile& job) {
            for (int pauses = static_cast<int>(rng() % 3); pauses > 0; --pauses) {
                sleepMs(delay(rng) / 4);
                job.setPause(true);
                sleepMs(delay(rng) / 4);
                job.setPause(false);
            }
            sleepMs(delay(rng) / 2);
            job.setPause(rng() % 2 == 0);
            const auto stop = std::chrono::steady_clock::now();
            job.requestStop();
            job.join();
            stopToEnd =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count();
        };
        const Outcome out = runJob(card.update, card.target, "", hooks);
        EXPECT_LT(stopToEnd, 1.5);
        EXPECT_EQ(out.result, ResultNone) << out.log;
        EXPECT_EQ(countOf(out.log, "request stop"), out.success ? 0 : 1) << out.log;
        expectCleanEnd(card, out, out.progress >= 15);
    }
}

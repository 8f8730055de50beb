#include "tests/support/testutil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "stages/hash.h"
#include "stages/updatefilemaker.h"
#include "storage/imageinfo.h"

namespace fs = std::filesystem;

namespace testutil {

namespace {

std::atomic<int> counter{0};

int processId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// One folder per test process, created new (never reused, never wiped), so
// that two runs side by side cannot delete each other's files. Removed when
// the process ends.
class ProcessFolder {
public:
    ProcessFolder() {
        const fs::path base = fs::temp_directory_path();
        const std::string stem = "qltest-" + std::to_string(processId()) + "-";
        // A folder left by a crashed process with the same id is skipped, not reused.
        for (int n = 0; path.empty(); ++n) {
            const fs::path candidate = base / (stem + std::to_string(n));
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) {
                path = candidate;
            } else if (ec && !fs::exists(candidate)) {
                std::fprintf(stderr, "cannot create %s: %s\n", candidate.string().c_str(),
                             ec.message().c_str());
                std::abort();
            }
        }
    }
    ~ProcessFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

const fs::path& processFolder() {
    static const ProcessFolder folder;
    return folder.path;
}

}  // namespace

TempDir::TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "_" + info->name()
                                       : std::string("ql");
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    const fs::path p = processFolder() / (name + "_" + std::to_string(counter++));
    fs::create_directories(p);
    dir = p.generic_string();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::string captureLog(const std::function<void()>& fn) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const int failuresBefore = info != nullptr ? info->result()->total_part_count() : 0;
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    std::string text = ::testing::internal::GetCapturedStdout();
    // gtest prints assertion failures on stdout too; fn's would vanish here.
    if (info != nullptr && info->result()->total_part_count() != failuresBefore) {
        std::fprintf(stderr, "%s", text.c_str());
    }
    return text;
}

int countOf(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

void writeText(const std::string& path, const std::string& text) {
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    std::fclose(f);
    return out;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

bool makeSpecialFile(const std::string& path, bool socket) {
#ifdef _WIN32
    return (void)path, (void)socket, false;
#else
    if (!socket) {
        return ::mkfifo(path.c_str(), 0600) == 0;
    }
    // A socket's path must fit in 108 bytes, and a TMPDIR may be longer:
    // the socket is bound through the folder's descriptor, whose name is short.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    sockaddr_un address{AF_UNIX, {}};
    const std::string name = "/proc/self/fd/" + std::to_string(dirFd) + "/" +
                             path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (dirFd < 0 || name.size() >= sizeof address.sun_path) {
        if (dirFd >= 0) {
            ::close(dirFd);
        }
        return false;
    }
    std::strcpy(address.sun_path, name.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);  // the socket file stays
    ::close(dirFd);
    return bound;
#endif
}

std::vector<uint8_t> patternBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Half the bytes repeat so that deflate has something to do.
        out[i] = (i & 64) ? static_cast<uint8_t>(i >> 7) : static_cast<uint8_t>(x);
    }
    return out;
}

void writePatternFile(const std::string& path, uint64_t size, uint32_t seed) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    const std::vector<uint8_t> block = patternBytes(1 << 20, seed);
    uint64_t left = size;
    while (left > 0) {
        const size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
        ASSERT_EQ(std::fwrite(block.data(), 1, n, f), n);
        left -= n;
    }
    std::fclose(f);
}

std::string hex(const uint8_t* digest) {
    if (digest == nullptr) {
        return "(none)";
    }
    std::string out;
    char b[3];
    for (int i = 0; i < 32; ++i) {
        std::snprintf(b, sizeof b, "%02x", digest[i]);
        out += b;
    }
    return out;
}

std::string digest(const std::string& path, uint64_t offset, uint64_t size) {
    Hash hash;
    return hash.calcHash(path, offset, size) ? hex(hash.getHashValue()) : "unreadable";
}

std::vector<uint8_t> makeMbr(const std::vector<Entry>& entries, bool signature) {
    std::vector<uint8_t> mbr(512, 0);
    for (size_t i = 0; i < entries.size() && i < 4; ++i) {
        uint8_t* e = &mbr[446 + 16 * i];
        e[0] = entries[i].bootFlag;
        e[4] = entries[i].type;
        for (int b = 0; b < 4; ++b) {
            e[8 + b] = static_cast<uint8_t>(entries[i].start >> (8 * b));
            e[12 + b] = static_cast<uint8_t>(entries[i].count >> (8 * b));
        }
    }
    if (signature) {
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
    }
    return mbr;
}

void makeCardImage(const std::string& path, const std::vector<Entry>& entries, uint64_t totalSize,
                   uint32_t seed) {
    writePatternFile(path, totalSize, seed);
    FILE* f = std::fopen(path.c_str(), "rb+");
    ASSERT_NE(f, nullptr);
    const std::vector<uint8_t> mbr = makeMbr(entries);
    ASSERT_EQ(std::fwrite(mbr.data(), 1, mbr.size(), f), mbr.size());
    std::fclose(f);
}

std::string testDataDir() {
    const char* dir = std::getenv("QL_TEST_DATA");
    return dir != nullptr ? hostPath(dir) : std::string();
}

std::string hostPath(const std::string& path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        return "Z:" + path;
    }
#endif
    return path;
}

bool makeUpdateFile(const std::string& cardImage, const std::string& updatePath, uint32_t hashNum) {
    bool ok = false;
    captureLog([&] {
        ImageInfo card(cardImage);
        if (!card.loadMbr() || !card.isValid()) {
            return;
        }
        const std::string payload = updatePath + ".payload";
        UpdateFileMaker maker(hashNum);
        ok = maker.pack(cardImage, card.getRootOffset(), card.getRootSize(), payload) &&
             maker.seal(payload, card.getRootOffset(), card.getRootSize(), updatePath);
        std::remove(payload.c_str());
    });
    return ok;
}

}  // namespace testutil

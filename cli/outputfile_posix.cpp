#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/outputfile.h"
#include "common/common.h"
#include "common/fileio.h"

namespace outputfile {

namespace {

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// A write lock on the open file's description: while the writer runs, a
// later run sees it held and leaves the file alone.
bool lockWhole(int fd) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// "<base>.<digits>-<digits>.part" or ".payload": the process number in pid.
bool isLeftoverName(const std::string& name, const std::string& base, long& pid) {
    if (name.compare(0, base.size() + 1, base + ".") != 0) {
        return false;
    }
    const char* p = name.c_str() + base.size() + 1;
    char* end = nullptr;
    pid = std::strtol(p, &end, 10);
    if (end == p || *end != '-') {
        return false;
    }
    p = end + 1;
    std::strtol(p, &end, 10);
    return end != p && (std::strcmp(end, ".part") == 0 || std::strcmp(end, ".payload") == 0);
}

}  // namespace

Kind kindOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return Kind::Missing;
    }
    return S_ISREG(st.st_mode) ? Kind::Regular : Kind::Other;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool NewFile::fail(const std::string& text) {
    code = errno;
    why = text + ": " + std::strerror(code);
    return false;
}

bool NewFile::create(const std::string& path) {
    target = path;
    // Unnamed in the output's folder; not every file system has them (FAT,
    // network shares), and those get a name of their own at once.
    int fd = ::open(folderOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != EROFS &&
        errno != EMFILE && errno != ENFILE && errno != ENOMEM) {
        const std::string stem = path + "." + std::to_string(::getpid()) + "-";
        for (int n = 0; n < 100 && fd < 0; ++n) {
            part = stem + std::to_string(n) + ".part";
            fd = ::open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) {
                break;
            }
        }
        if (fd < 0) {
            part.clear();
        }
    }
    if (fd < 0) {
        return fail("cannot create a new file beside " + path);
    }
    lockWhole(fd);  // where locks are not kept, the process number is left to tell
    file = ::fdopen(fd, "w+b");
    if (file == nullptr) {
        const bool made = fail("cannot create a new file beside " + path);
        ::close(fd);
        if (!part.empty()) {
            ::unlink(part.c_str());
        }
        part.clear();
        return made;
    }
    return true;
}

bool NewFile::publish() {
    if (!fileops::sync(file)) {
        return fail("writing " + target + " failed");
    }
    if (part.empty()) {
        // The file gets a name of its own first: a link cannot replace.
        const std::string self = "/proc/self/fd/" + std::to_string(::fileno(file));
        const std::string stem = target + "." + std::to_string(::getpid()) + "-";
        for (int n = 0; n < 100 && part.empty(); ++n) {
            const std::string name = stem + std::to_string(n) + ".part";
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                part = name;
            } else if (errno != EEXIST) {
                return fail("cannot name the new file beside " + target);
            }
        }
        if (part.empty()) {
            return fail("cannot name the new file beside " + target);
        }
    }
    if (std::rename(part.c_str(), target.c_str()) != 0) {
        return fail("cannot rename " + part + " to " + target);
    }
    part.clear();
    // The new name reaches the disk with its folder.
    const int folder = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    std::fclose(file);  // synced: nothing left to lose
    file = nullptr;
    return true;
}

void NewFile::discard() {
    if (!part.empty()) {
        ::unlink(part.c_str());
        part.clear();
    }
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
}

void removeLeftovers(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = folderOf(path);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        long pid = 0;
        if (!isLeftoverName(entry->d_name, base, pid)) {
            continue;
        }
        // A live process of that number may be its writer still (one of an
        // older version, which held no lock); a held lock says so for sure.
        if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) {
            continue;
        }
        const std::string name = (slash == std::string::npos ? "" : folder) + entry->d_name;
        const int fd = ::open(name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && lockWhole(fd) &&
            ::unlink(name.c_str()) == 0) {
            debugLog("make : removed %s, left by a run that ended early\n", name.c_str());
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ::closedir(dir);
}

}  // namespace outputfile

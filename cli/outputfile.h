// What qlupdate make needs of the file system to write its output safely: a
// new file beside the output, filled, synced and then put in place in one
// step, and the leftovers of runs that were killed removed. One
// implementation per platform.
#pragma once

#include <cstdio>
#include <string>

namespace outputfile {

enum class Kind {
    Missing,  // nothing there, or it cannot be examined
    Regular,  // a regular file (possibly through a link)
    Other,    // a directory, a device or anything else
};

// What path leads to now, following links.
Kind kindOf(const std::string& path);
// True when both paths lead to one file: the same name, another spelling of
// it, a symbolic or a hard link. False when either cannot be examined.
bool sameFile(const std::string& a, const std::string& b);

// The file that becomes path once whole. It has no name until then where the
// system allows (Linux, O_TMPFILE), else it is "<path>.<process>-<n>.part";
// either way a killed run leaves at most such a name, which a later run for
// the same path removes once its writer is gone.
class NewFile {
public:
    NewFile() = default;
    ~NewFile() { discard(); }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // False with failure() and error() (errno) when no file can be made.
    bool create(const std::string& path);
    FILE* stream() const { return file; }
    // Syncs the file, puts it at path in one step (replacing a file there)
    // and closes it. False, with path as it was, on failure.
    bool publish();
    // Closes the file and removes what it made.
    void discard();
    const std::string& failure() const { return why; }
    int error() const { return code; }

private:
    bool fail(const std::string& text);

    std::string target;
    std::string part;  // the name it has, if any
    FILE* file = nullptr;
    std::string why;
    int code = 0;
};

// Removes "<path>.<process>-<n>.part" (and ".payload", from older versions)
// left by runs that were killed, once no running writer holds them.
void removeLeftovers(const std::string& path);

}  // namespace outputfile

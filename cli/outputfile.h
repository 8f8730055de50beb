// What qlupdate make needs of the file system to write its output safely: a
// new file beside the output, filled, synced and then put in place in one
// step. One implementation per platform.
#pragma once

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
// Creates path as a new, empty file, never through a link. False when the
// name is taken (by anything) or the file cannot be created.
bool createNew(const std::string& path);
// Writes the file's data through to its medium. False on failure.
bool syncToDisk(const std::string& path);
// Renames from to to in one step, replacing a file named to. False on
// failure, with both names as they were.
bool replace(const std::string& from, const std::string& to);

}  // namespace outputfile

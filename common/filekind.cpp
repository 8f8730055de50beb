#include "common/fileio.h"

namespace fileio {

const char* kindText(FileKind kind) {
    switch (kind) {
        case FileKind::Missing:
            return "missing";
        case FileKind::Regular:
            return "a regular file";
        case FileKind::Directory:
            return "a directory";
        case FileKind::Fifo:
            return "a FIFO (named pipe)";
        case FileKind::Socket:
            return "a socket";
        case FileKind::CharDevice:
            return "a character device";
        case FileKind::BlockDevice:
            return "a block device";
        case FileKind::Other:
            break;
    }
    return "an entry of unknown kind";
}

}  // namespace fileio

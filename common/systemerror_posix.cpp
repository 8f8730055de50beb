#include "common/systemerror.h"

#include <cstring>

namespace systemerror {

void logLast(const char*, const char*, const char*) {}

std::string describe(unsigned long code) {
    return std::strerror(static_cast<int>(code));
}

}  // namespace systemerror

#include "common/systemerror.h"

namespace systemerror {

void logLast(const char*, const char*, const char*) {}

}  // namespace systemerror

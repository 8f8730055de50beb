// The version that qlupdate --version reports.
#pragma once

#include "qlversion.h"

constexpr const char* kQlupdateVersion = QL_VERSION;

// The version that qlupdate --version reports.
#pragma once

constexpr const char* kQlupdateVersion = "1.0.0";

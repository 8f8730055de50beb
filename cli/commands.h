// The subcommands of qlupdate. Each returns the process exit status.
#pragma once

#include <string>

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 64;
constexpr int kExitInterrupted = 130;

struct ApplyOptions {
    std::string updateFile;
    std::string targetImage;  // empty when a drive is given
    std::string drive;        // "E:" for a card behind a drive letter
    std::string device;       // "/dev/sdb" for a card reader's disk on Linux
    bool anyDevice = false;   // also a disk that is no removable, USB or MMC one
    bool unmount = false;     // unmount the device's file systems first
    bool verbose = false;
    bool verify = true;  // read the root back from the target and compare
};

// One file each: make.cpp, apply.cpp, inspect.cpp, drives.cpp.
int runMake(const std::string& cardImage, const std::string& updateFile);
int runApply(const ApplyOptions& options);
int runInspect(const std::string& path);
int runDrives();

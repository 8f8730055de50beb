// qlupdate: the command-line front end of the update engine.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/carddevice.h"
#include "cli/commands.h"
#include "cli/version.h"
#include "common/common.h"

namespace {

const char* const kUsage =
    "usage: qlupdate make CARD_IMAGE UPDATE_FILE\n"
    "       qlupdate apply UPDATE_FILE TARGET_IMAGE\n"
    "       qlupdate apply UPDATE_FILE --drive E:\n"
    "       qlupdate apply UPDATE_FILE --device /dev/sdX [--unmount] [--any-device]\n"
    "       qlupdate inspect FILE\n"
    "       qlupdate drives\n"
    "options: --verbose  also show the diagnostic log\n"
    "         --help     show this text\n"
    "         --version  show the version\n";

const char* const kHelp =
    "qlupdate applies Quillon ZR-7040 update files to the root partition of a\n"
    "card or of a disk-image file, and makes and inspects such files.\n"
    "\n"
    "  make CARD_IMAGE UPDATE_FILE   pack the root partition (MBR entry 1) of a\n"
    "                                card image into a new update file\n"
    "  apply UPDATE_FILE TARGET      verify the update file and write it over the\n"
    "                                root partition of TARGET (an image file)\n"
    "  apply UPDATE_FILE --drive E:  the same for the card behind drive E:\n"
    "                                (Windows, administrator rights)\n"
    "  apply UPDATE_FILE --device /dev/sdX\n"
    "                                the same for the card in a Linux card reader\n"
    "                                (the whole disk, not a partition; root)\n"
    "      --unmount                 unmount the card's file systems once the\n"
    "                                update file is verified, before writing\n"
    "      --any-device              also write a disk that is not removable, USB\n"
    "                                or MMC (loop devices, unusual readers)\n"
    "      --no-verify               do not read the root partition back from\n"
    "                                the target and compare it once written\n"
    "  inspect FILE                  show an update file's header and checks, or\n"
    "                                a card image's partition table and verdict\n"
    "  drives                        list the card readers' drives (Windows) or the\n"
    "                                card readers' disks (Linux)\n"
    "\n"
    "Ctrl+C during apply stops the update; a partly written root partition\n"
    "must then be updated again.\n"
    "\n"
    "Progress and the verdict go to standard error; listings and inspect's\n"
    "report to standard output.\n"
    "\n"
    "Exit status:\n"
    "    0  success\n"
    "    1  the card (or card image) is not a Quillon ZR-7040 one, or its\n"
    "       layout does not fit the update; for make, inspect and drives: failure\n"
    "    2  the update file is missing, broken or changed while in use\n"
    "    3  the unpacked temporary file has the wrong size\n"
    "    4  the temporary file could not be read\n"
    "    5  the card could not be written completely (or was pulled out)\n"
    "    6  the temporary file could not be created\n"
    "    7  not enough free disk space for the temporary file (4 GB)\n"
    "    8  the card already holds the update; nothing was written\n"
    "    9  another program uses the card's root partition, or a file system on\n"
    "       the card cannot be unmounted; nothing was written\n"
    "   10  the card is write-protected (its LOCK switch); nothing was written\n"
    "   11  the update file is on the card itself; nothing was written\n"
    "   64  usage error, or a target that is refused before anything is written\n"
    "  130  interrupted with Ctrl+C\n";

int usageError(const char* why) {
    std::fprintf(stderr, "qlupdate: %s\n%s", why, kUsage);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    startPlatform();
    std::vector<std::string> args;
    bool verbose = false;
    std::string drive;
    bool driveGiven = false;
    std::string device;
    bool anyDevice = false, unmount = false;
    bool verify = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("qlupdate %s\n", kQlupdateVersion);
            return kExitOk;
        }
        if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else if (arg == "--drive") {
            if (i + 1 >= argc) {
                return usageError("--drive needs a drive letter such as E:");
            }
            drive = argv[++i];
            driveGiven = true;
        } else if (arg == "--device") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                return usageError("--device needs a block device such as /dev/sdb");
            }
            device = argv[++i];
        } else if (arg == "--any-device") {
            anyDevice = true;
        } else if (arg == "--unmount") {
            unmount = true;
        } else if (arg == "--no-verify") {
            verify = false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError(("unknown option " + arg).c_str());
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty()) {
        return usageError("no command given");
    }
    // The diagnostic log shares standard output; it is shown on request only.
    setDebugLog(verbose);

    const std::string& command = args[0];
    if (command != "apply" && (!device.empty() || anyDevice || unmount)) {
        return usageError("--device, --any-device and --unmount go with apply");
    }
    if (command == "make" && args.size() == 3 && !driveGiven) {
        return runMake(args[1], args[2], verbose);
    }
    if (command == "apply") {
        ApplyOptions options;
        options.verbose = verbose;
        options.verify = verify;
        if (!device.empty() && !driveGiven && args.size() == 2) {
            options.updateFile = args[1];
            options.device = device;
            options.anyDevice = anyDevice;
            options.unmount = unmount;
            return runApply(options);
        }
        if (!device.empty() || anyDevice || unmount) {
            return usageError("apply --device needs an update file and a device, and no --drive");
        }
        if (driveGiven && args.size() == 2) {
            // "E", "E:" or "E:\": anything longer names no drive.
            const bool letterOnly = drive.size() == 1 || drive == drive.substr(0, 1) + ":" ||
                                    drive == drive.substr(0, 1) + ":\\";
            if (drive.empty() || !std::isalpha(static_cast<unsigned char>(drive[0])) ||
                !letterOnly) {
                return usageError("--drive needs a drive letter such as E:");
            }
            options.updateFile = args[1];
            options.drive = drive;
            return runApply(options);
        }
        if (!driveGiven && args.size() == 3) {
            options.updateFile = args[1];
            options.targetImage = args[2];
            return runApply(options);
        }
        return usageError("apply needs an update file and either a target image or --drive");
    }
    if (command == "inspect" && args.size() == 2 && !driveGiven) {
        return runInspect(args[1], verbose);
    }
    if (command == "drives" && args.size() == 1 && !driveGiven) {
        return runDrives();
    }
    if (command != "make" && command != "apply" && command != "inspect" && command != "drives") {
        return usageError(("unknown command " + command).c_str());
    }
    return usageError(("wrong arguments for " + command).c_str());
}

// qlupdate: the command-line front end of the update engine.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "cli/carddevice.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "cli/terminaltext.h"
#include "cli/version.h"
#include "common/common.h"
#include "common/resultcode.h"

namespace {

const char* const kUsage =
    "usage: qlupdate make CARD_IMAGE UPDATE_FILE\n"
    "       qlupdate apply UPDATE_FILE TARGET_IMAGE [--no-verify]\n"
    "       qlupdate apply UPDATE_FILE --drive E: [--no-verify]         (Windows)\n"
    "       qlupdate apply UPDATE_FILE --device /dev/sdX [--unmount] [--any-device]\n"
    "                      [--no-verify]                                (Linux)\n"
    "       qlupdate inspect FILE\n"
    "       qlupdate drives\n"
    "options: --verbose  also show the diagnostic log\n"
    "         --         the words after it are names, even those that start with -\n"
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
    "      --no-verify               do not read what was written back from the\n"
    "                                target and compare it\n"
    "  inspect FILE                  check an update file as apply does (header,\n"
    "                                root, digest, the payload inflated), or show\n"
    "                                a card image's partition table and verdict\n"
    "  drives                        list the card readers' drives (Windows) or the\n"
    "                                card readers' disks (Linux)\n"
    "\n"
    "Ctrl+C during apply stops the update (so do Ctrl+Break and closing the\n"
    "console window on Windows, a hang-up and a plain kill on Linux) at the\n"
    "next chunk, and a second one at once; a partly written root partition\n"
    "must then be updated again.\n"
    "\n"
    "Progress and the verdict go to standard error; listings and inspect's\n"
    "report to standard output. Messages follow the locale's codeset, and are\n"
    "in English where it has no Japanese (LC_ALL=C).\n"
    "\n"
    "Exit status:\n"
    "    0  success\n"
    "    1  the card (or card image) is not a Quillon ZR-7040 one, or its\n"
    "       layout does not fit the update; for make, inspect and drives: failure\n"
    "    2  the update file is missing, broken, or changed or replaced while\n"
    "       in use\n"
    "    3  the unpacked temporary file has the wrong size\n"
    "    4  the temporary file could not be read\n"
    "    5  the root partition was left written in part or unverified: a write\n"
    "       failed or the card was pulled out while it was written, the card\n"
    "       did not take the data, or what was read back differs from what was\n"
    "       written; for an image file also a failed read of it\n"
    "    6  the temporary file could not be created\n"
    "    7  less than 4 GiB free beside the update file for the temporary file\n"
    "       (or less than the root partition, where that is larger)\n"
    "    8  the card already holds the update; nothing was written\n"
    "    9  another program uses the card's root partition, a file system on\n"
    "       the card cannot be unmounted, or another update holds the image;\n"
    "       nothing was written\n"
    "   10  the card is write-protected (its LOCK switch, or the reader refused\n"
    "       the first write); nothing was written\n"
    "   11  the update file is on the card itself; nothing was written\n"
    "   12  the card could not be read, or was removed or replaced after it was\n"
    "       checked; nothing was written\n"
    "   13  the system gave no memory, thread or file handle (a ulimit, a\n"
    "       cgroup); nothing is wrong with the update file or the card\n"
    "   64  usage error, or a target that is refused before anything is written\n"
    "  130  interrupted (Ctrl+C, Ctrl+Break on Windows, a hang-up or kill on\n"
    "       Linux)\n";

int usageError(const std::string& why) {
    std::fprintf(stderr, "qlupdate: %s\n%s", why.c_str(), kUsage);
    return kExitUsage;
}

// What the command line says, before it is matched with a command.
struct Arguments {
    std::vector<std::string> words;  // the command and its operands
    std::vector<std::string> given;  // the options, each once
    bool verbose = false;
    bool verify = true;
    bool anyDevice = false;
    bool unmount = false;
    std::string drive;
    std::string device;

    bool has(const char* option) const {
        for (const std::string& g : given) {
            if (g == option) {
                return true;
            }
        }
        return false;
    }
};

// "E", "E:" or "E:\": anything longer names no drive.
bool isDriveLetter(const std::string& drive) {
    return !drive.empty() && std::isalpha(static_cast<unsigned char>(drive[0])) &&
           (drive.size() == 1 || drive == drive.substr(0, 1) + ":" ||
            drive == drive.substr(0, 1) + ":\\");
}

// The options each command takes besides --verbose.
bool takes(const std::string& command, const std::string& option) {
    if (command == "apply") {
        return option == "--drive" || option == "--device" || option == "--any-device" ||
               option == "--unmount" || option == "--no-verify";
    }
    return false;
}

// Output that never arrived is a failure: a full disk or a closed pipe on
// standard output shows only when the buffered report is written out.
int finishOutput(int status) {
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    const bool whole = flushed && std::ferror(stdout) == 0;
    if (std::fclose(stdout) == 0 && whole) {
        return status;
    }
    std::fprintf(
        stderr, "qlupdate: the output could not be written: %s\n",
        flushed ? (whole ? std::strerror(errno) : "a write failed") : std::strerror(error));
    return status == kExitOk ? kExitFailure : status;
}

int runCommand(int argc, char** argv) {
    Arguments a;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            a.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;  // what follows is a name, even one like "-x"
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(kHelp, stdout);
            return finishOutput(kExitOk);
        }
        if (arg == "--version") {
            std::printf("qlupdate %s\n", kQlupdateVersion);
            return finishOutput(kExitOk);
        }
        const std::string option = arg == "-v" ? "--verbose" : arg;
        if (option != "--verbose" && option != "--drive" && option != "--device" &&
            option != "--any-device" && option != "--unmount" && option != "--no-verify") {
            return usageError("unknown option " + arg);
        }
        if (a.has(option.c_str())) {
            return usageError(option + " is given twice");
        }
        a.given.push_back(option);
        if (option == "--drive" || option == "--device") {
            if (option != kCardOption) {
                return usageError(option == "--drive"
                                      ? "--drive names a Windows drive letter; on Linux give the "
                                        "card's disk with --device /dev/sdX"
                                      : "--device names a Linux block device; on Windows give the "
                                        "card's drive letter with --drive E:");
            }
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                return usageError(option == "--drive"
                                      ? "--drive needs a drive letter such as E:"
                                      : "--device needs a block device such as /dev/sdb");
            }
            (option == "--drive" ? a.drive : a.device) = argv[++i];
        }
        a.verbose = a.verbose || option == "--verbose";
        a.verify = a.verify && option != "--no-verify";
        a.anyDevice = a.anyDevice || option == "--any-device";
        a.unmount = a.unmount || option == "--unmount";
    }
    if (a.words.empty()) {
        return usageError("no command given");
    }
    // The diagnostic log shares standard output; it is shown on request only.
    setDebugLog(a.verbose);

    const std::string& command = a.words[0];
    if (command != "make" && command != "apply" && command != "inspect" && command != "drives") {
        return usageError("unknown command " + command);
    }
    for (const std::string& option : a.given) {
        if (option != "--verbose" && !takes(command, option)) {
            return usageError(option + " does not go with " + command);
        }
    }
    const size_t operands = a.words.size() - 1;
    if (command == "make") {
        return operands == 2 ? runMake(a.words[1], a.words[2])
                             : usageError("make needs a card image and an update file");
    }
    if (command == "inspect") {
        return operands == 1 ? finishOutput(runInspect(a.words[1]))
                             : usageError("inspect needs one file");
    }
    if (command == "drives") {
        return operands == 0 ? finishOutput(runDrives()) : usageError("drives takes no file");
    }
    ApplyOptions options;
    options.verbose = a.verbose;
    options.verify = a.verify;
    if ((a.anyDevice || a.unmount) && !a.has("--device")) {
        return usageError("--any-device and --unmount go with --device");
    }
    const bool card = a.has("--drive") || a.has("--device");
    if (operands != (card ? 1u : 2u)) {
        return usageError(card ? "apply with " + std::string(kCardOption) +
                                     " needs the update file alone"
                               : "apply needs an update file and a target image, or the update "
                                 "file and " +
                                     std::string(kCardOption));
    }
    if (a.has("--drive") && !isDriveLetter(a.drive)) {
        return usageError("--drive needs a drive letter such as E:");
    }
    options.updateFile = a.words[1];
    options.targetImage = card ? std::string() : a.words[2];
    options.drive = a.drive;
    options.device = a.device;
    options.anyDevice = a.anyDevice;
    options.unmount = a.unmount;
    return runApply(options);
}

}  // namespace

int main(int argc, char** argv) {
    startPlatform();
    interrupt::ignoreFatalWrites();
    // The library's own refusals: memory for a string or a buffer, a thread.
    // Unwinding removes what the command made on the way.
    try {
        return runCommand(argc, argv);
    } catch (const std::bad_alloc& e) {
        printResult(ResultNoResources, std::string("the system gave no memory: ") + e.what());
    } catch (const std::system_error& e) {
        printResult(ResultNoResources, std::string("the system refused: ") + e.what());
    }
    return ResultNoResources;
}

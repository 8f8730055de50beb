// The platform's own half of qlupdate's card commands.
#pragma once

#include <cstdint>
#include <string>

#include "cli/commands.h"

// Lists the cards the system offers (drive letters on Windows, card-reader
// block devices on Linux); the exit status.
int listCards();
// Checks the card named by options.device and readies the raw-storage calls
// for it. kExitOk when the update may go on; otherwise the exit status, after
// a message that says why nothing was written.
int prepareDevice(const ApplyOptions& options);
// Checks the image file options.targetImage: on Linux one that a loop device
// has attached is refused. kExitOk, or the exit status after the message.
int prepareImage(const ApplyOptions& options);
// Checks the card image that make reads: on Linux one whose root partition
// (size bytes at offset) is mounted read-write through a loop device is
// refused, since what is read may then change. kExitOk, or the exit status
// after the message.
int checkCardImage(const std::string& path, uint64_t offset, uint64_t size);
// After the update: which of the card's file systems it unmounted (Linux,
// --unmount), on stderr.
void reportUnmounted();
// How a card is named here: "--drive" on Windows, "--device" on Linux.
extern const char* const kCardOption;

// Once at start, before any file is opened: standard input, output and error
// are open (on /dev/null if they were closed), so that no file the tool opens
// can take their numbers and receive the log; on Windows an empty card slot
// raises no "no disk" box.
void startPlatform();
// While an update runs the system does not sleep (Windows); off again after.
void keepAwake(bool on);

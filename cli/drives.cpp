// qlupdate drives: the card readers the system offers.
#include "cli/carddevice.h"
#include "cli/commands.h"

int runDrives() {
    return listCards();
}

// The main loop of tembra-forward: read a batch of records, deliver it, save the
// position past it, retry with back-off while the collector is away.
#pragma once

#include <signal.h>

#include "settings.h"

namespace forward {

// Runs until stop is set (or, with settings.once, until the files are sent).
// Returns the exit status: 0, or 1 when something could not be delivered or
// the position could not be kept.
int run(const Settings &settings, volatile sig_atomic_t &stop);

}  // namespace forward

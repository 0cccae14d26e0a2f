// Running a command beside simulated USB power supplies: a private mount namespace (in a
// user namespace of its own when not root) in which the supplies' hidraw nodes appear in
// /dev and their devices in /sys as the kernel lays them out, while the rest of /dev and
// /sys stays as it was.
#pragma once

#include "tools/supply_options.h"

// Attaches the devices, runs the command and gives back the exit status for supply-sim:
// the command's own, or 128+N when signal N ended it. Processes the command leaves behind
// are ended with it, so nothing of the simulation outlives the run.
int RunBesideUsbSupplies(const Options& options);

// The simulated power supply on TCP, as the LAN tool reaches a real one.
#pragma once

#include "tools/supply_options.h"

// Listens where the options say, prints the port, and serves connections one at a time
// (only one with --once); gives back the exit status.
int ServeTcp(const Options& options);

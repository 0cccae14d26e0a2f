// The LAN tool: one command to the power supply over TCP, one answer, one report.
#pragma once

// Runs morvish with its command line; gives back the exit status.
int RunMorvish(int argc, const char* const* argv);

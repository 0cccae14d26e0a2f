// The USB tool: one command to the power supply as a HID output report, one input report
// back, one report.
#pragma once

// Runs kestrow with its command line; gives back the exit status.
int RunKestrow(int argc, const char* const* argv);
